#pragma once

// Plain C++ (no Qt): the daemon and parakeet-server both read model files' heads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parlotta {

// Which library a ggml model file is for. Both begin with the same magic;
// they differ in how many header fields come before the mel filters, whose
// first field repeats the header's mel count.
enum class ModelEngine { Unknown, Whisper, Parakeet };

// The bytes of a file's head that decide it: magic, 15 fields, 2 more.
inline constexpr std::size_t modelHeadBytes = 4 + 17 * 4;

// The engine a model file's first bytes (at least modelHeadBytes of them, or
// the whole file if shorter) belong to; Unknown for anything else.
ModelEngine modelEngineFromHead(std::string_view head);
// The same, read from a file; Unknown when it cannot be read.
ModelEngine modelEngineOfFile(const std::string &path);

// The languages Parakeet TDT 0.6B v3 was trained on (ISO 639-1). v2 knows English only.
inline constexpr std::array<std::string_view, 25> parakeetV3Languages = {
    "bg", "cs", "da", "de", "el", "en", "es", "et", "fi", "fr", "hr", "hu", "it",
    "lt", "lv", "mt", "nl", "pl", "pt", "ro", "ru", "sk", "sl", "sv", "uk"};

// Whether a Parakeet model, by its file's name, knows a language: a "v2"
// model English only, any other all of v3's.
bool parakeetKnowsLanguage(std::string_view modelFileName, std::string_view code);

} // namespace parlotta
