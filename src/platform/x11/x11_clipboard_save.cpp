#include "platform/clipboard_formats.h"
#include "platform/x11/x11_clipboard.h"

#include <algorithm>

namespace parlotta {

bool X11Clipboard::fetch(Atom target, X11Format *format, QElapsedTimer &clock)
{
    XDeleteProperty(display, window, atomProperty);
    XConvertSelection(display, atomSelection, target, atomProperty, window, CurrentTime);
    XEvent event;
    if (!waitFor(event, int(saveBudgetMs - clock.elapsed()),
                 [this](const XEvent &e) {
                     return e.type == SelectionNotify && e.xselection.requestor == window;
                 }) ||
        event.xselection.property == None)
        return false;
    Atom type = None;
    if (!readProperty(&type, format, true))
        return false;
    if (type != atomIncr)
        return true;
    // Incremental: each deletion asks for the next chunk; an empty one ends it.
    format->data.clear();
    while (true) {
        if (!waitFor(event, int(saveBudgetMs - clock.elapsed()), [this](const XEvent &e) {
                return e.type == PropertyNotify && e.xproperty.window == window &&
                       e.xproperty.atom == atomProperty && e.xproperty.state == PropertyNewValue;
            }))
            return false;
        X11Format chunk;
        if (!readProperty(&type, &chunk, true))
            return false;
        if (chunk.data.isEmpty())
            return true;
        if (format->data.size() + chunk.data.size() > maxSavedFormatBytes) {
            format->data = QByteArray();
            return false;
        }
        format->data += chunk.data;
        format->propertyType = chunk.propertyType;
        format->bits = chunk.bits;
    }
}

bool X11Clipboard::readProperty(Atom *type, X11Format *format, bool remove)
{
    int bits = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, window, atomProperty, 0, 0x1fffffff, remove, AnyPropertyType,
                           type, &bits, &items, &after, &data) != Success)
        return false;
    // Xlib hands 32-bit items over as longs; they go back the same way.
    const qsizetype unit = bits == 32 ? qsizetype(sizeof(long)) : bits / 8;
    format->data = QByteArray(reinterpret_cast<const char *>(data), qsizetype(items) * unit);
    format->bits = bits ? bits : 8;
    if (*type != None) {
        char *name = XGetAtomName(display, *type);
        format->propertyType = name;
        XFree(name);
    }
    if (data)
        XFree(data);
    return true;
}

bool X11Clipboard::readClipboard(QList<X11Format> *formats, QString *error)
{
    formats->clear();
    if (!display) {
        *error = QStringLiteral("no X display");
        return false;
    }
    const Window owner = XGetSelectionOwner(display, atomSelection);
    if (owner == None)
        return true;
    if (owner == window) {
        *formats = owned;
        return true;
    }
    QElapsedTimer clock;
    clock.start();
    X11Format list;
    if (!fetch(atomTargets, &list, clock)) {
        *error = QStringLiteral("the clipboard owner did not answer");
        return false;
    }
    const auto *targets = reinterpret_cast<const Atom *>(list.data.constData());
    const qsizetype count = list.bits == 32 ? list.data.size() / qsizetype(sizeof(Atom)) : 0;
    for (qsizetype i = 0; i < count; ++i) {
        const Atom target = targets[i];
        if (target == None)
            continue;
        char *name = XGetAtomName(display, target);
        X11Format format;
        format.target = name;
        XFree(name);
        if (isMetaTarget(format.target) ||
            std::any_of(formats->cbegin(), formats->cend(),
                        [&](const X11Format &f) { return f.target == format.target; }))
            continue;
        if (fetch(target, &format, clock))
            formats->append(format);
        if (clock.elapsed() >= saveBudgetMs) {
            // What was read so far is kept: better some formats back than none.
            *error = QStringLiteral("the clipboard owner answered too slowly");
            return false;
        }
    }
    return true;
}

} // namespace parlotta
