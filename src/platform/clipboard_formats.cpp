#include "platform/clipboard_formats.h"

namespace parlotta {

QList<ClipboardFormat> transcriptFormats(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return {
        {"text/plain;charset=utf-8", utf8}, {"text/plain", utf8}, {"UTF8_STRING", utf8},
        {"STRING", text.toLatin1()},        {"TEXT", utf8},
    };
}

bool isMetaTarget(const QByteArray &type)
{
    return type == "TARGETS" || type == "MULTIPLE" || type == "TIMESTAMP" ||
           type == "SAVE_TARGETS" || type == "DELETE" || type == "INSERT_SELECTION" ||
           type == "INSERT_PROPERTY";
}

bool isTextType(const QByteArray &type)
{
    return type.startsWith("text/") || type == "UTF8_STRING" || type == "STRING" ||
           type == "TEXT" || type == "COMPOUND_TEXT";
}

} // namespace parlotta
