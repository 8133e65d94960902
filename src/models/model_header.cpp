#include "models/model_header.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace parlotta {

namespace {

constexpr std::uint32_t ggmlMagic = 0x67676d6c; // "ggml", as the libraries write it

std::int32_t field(std::string_view head, std::size_t index)
{
    std::int32_t value = 0;
    std::memcpy(&value, head.data() + 4 + 4 * index, sizeof value);
    return value;
}

} // namespace

ModelEngine modelEngineFromHead(std::string_view head)
{
    std::uint32_t magic = 0;
    if (head.size() < modelHeadBytes)
        return ModelEngine::Unknown;
    std::memcpy(&magic, head.data(), sizeof magic);
    if (magic != ggmlMagic || field(head, 0) <= 0)
        return ModelEngine::Unknown;
    // whisper: 11 fields, n_mels the 10th; Parakeet: 15 fields, n_mels the 6th.
    const std::int32_t whisperMels = field(head, 9), parakeetMels = field(head, 5);
    if (whisperMels > 0 && whisperMels == field(head, 11))
        return ModelEngine::Whisper;
    if (parakeetMels > 0 && parakeetMels == field(head, 15))
        return ModelEngine::Parakeet;
    return ModelEngine::Unknown;
}

ModelEngine modelEngineOfFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::string head(modelHeadBytes, '\0');
    if (!file.read(head.data(), std::streamsize(head.size())))
        return ModelEngine::Unknown;
    return modelEngineFromHead(head);
}

bool parakeetKnowsLanguage(std::string_view modelFileName, std::string_view code)
{
    if (modelFileName.find("-v2") != std::string_view::npos)
        return code == "en";
    return std::find(parakeetV3Languages.begin(), parakeetV3Languages.end(), code) !=
           parakeetV3Languages.end();
}

} // namespace parlotta
