#include "platform/x11/x11_clipboard.h"

#include <X11/Xatom.h>
#include <algorithm>

namespace parlotta {

Time X11Clipboard::serverTime()
{
    XChangeProperty(display, window, atomTimeProbe, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent event;
    if (waitFor(event, 200, [this](const XEvent &e) {
            return e.type == PropertyNotify && e.xproperty.window == window &&
                   e.xproperty.atom == atomTimeProbe;
        }))
        return event.xproperty.time;
    return CurrentTime;
}

void X11Clipboard::own(const QList<X11Format> &formats, bool isTranscript)
{
    reads.serve(isTranscript);
    owned = formats;
    if (!display)
        return;
    if (formats.isEmpty()) {
        if (XGetSelectionOwner(display, atomSelection) == window)
            XSetSelectionOwner(display, atomSelection, None, serverTime());
    } else {
        ownedSince = serverTime();
        XSetSelectionOwner(display, atomSelection, window, ownedSince);
    }
    XFlush(display);
}

void X11Clipboard::handle(const XEvent &event)
{
    if (event.type == SelectionClear && event.xselectionclear.window == window &&
        event.xselectionclear.selection == atomSelection) {
        owned.clear(); // another application copied something
    } else if (event.type == SelectionRequest) {
        answer(event.xselectionrequest);
    } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
        continueTransfer(event.xproperty.window, event.xproperty.atom);
    }
}

void X11Clipboard::answer(const XSelectionRequestEvent &request)
{
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    // Obsolete clients name no property: the target doubles as one.
    const Atom property = request.property == None ? request.target : request.property;
    reply.property = serve(request.requestor, request.target, property) ? property : None;
    XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent *>(&reply));
    XFlush(display);
}

bool X11Clipboard::serve(Window requestor, Atom target, Atom property)
{
    if (owned.isEmpty())
        return false;
    if (target == atomMultiple)
        return serveMultiple(requestor, property);
    if (target == atomTargets) {
        QList<Atom> atoms = {atomTargets, atomMultiple, atomTimestamp};
        for (const X11Format &f : std::as_const(owned))
            atoms << XInternAtom(display, f.target.constData(), False);
        XChangeProperty(display, requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(atoms.constData()),
                        int(atoms.size()));
        return true;
    }
    if (target == atomTimestamp) {
        const long time = long(ownedSince);
        XChangeProperty(display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(&time), 1);
        return true;
    }
    char *name = XGetAtomName(display, target);
    const QByteArray wanted = name ? name : "";
    if (name)
        XFree(name);
    const auto it = std::find_if(owned.cbegin(), owned.cend(),
                                 [&](const X11Format &f) { return f.target == wanted; });
    if (it == owned.cend())
        return false;
    if (it->data.size() > chunkBytes) {
        // Too big for one request: announce an incremental transfer.
        XSelectInput(display, requestor, PropertyChangeMask);
        const long size = long(it->data.size());
        XChangeProperty(display, requestor, property, atomIncr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(&size), 1);
        transfers.push_back({requestor, property, *it, 0});
    } else {
        writeProperty(requestor, property, *it, it->data);
    }
    noteRead();
    return true;
}

void X11Clipboard::continueTransfer(Window requestor, Atom property)
{
    for (auto it = transfers.begin(); it != transfers.end(); ++it) {
        if (it->requestor != requestor || it->property != property)
            continue;
        const qsizetype unit =
            it->format.bits == 32 ? qsizetype(sizeof(long)) : it->format.bits / 8;
        const qsizetype size =
            std::min(chunkBytes / unit * unit, it->format.data.size() - it->offset);
        writeProperty(requestor, property, it->format, it->format.data.mid(it->offset, size));
        it->offset += size;
        if (size == 0) { // the empty chunk that ends the transfer has been sent
            XSelectInput(display, requestor, NoEventMask);
            transfers.erase(it);
        }
        XFlush(display);
        return;
    }
}

void X11Clipboard::noteRead()
{
    reads.noteRead();
}

bool X11Clipboard::serveMultiple(Window requestor, Atom property)
{
    // The requestor's property lists (target, property) pairs; a pair we
    // cannot convert gets None as its target, and the list goes back.
    Atom type = None;
    int bits = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, requestor, property, 0, 0x1fffffff, False, AnyPropertyType,
                           &type, &bits, &items, &after, &data) != Success ||
        bits != 32 || !data) {
        if (data)
            XFree(data);
        return false;
    }
    QList<Atom> pairs(reinterpret_cast<const Atom *>(data),
                      reinterpret_cast<const Atom *>(data) + (items & ~1ul));
    XFree(data);
    for (qsizetype i = 0; i + 1 < pairs.size(); i += 2)
        if (pairs[i] == atomMultiple || !serve(requestor, pairs[i], pairs[i + 1]))
            pairs[i] = None;
    XChangeProperty(display, requestor, property, type, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(pairs.constData()), int(pairs.size()));
    return true;
}

bool X11Clipboard::handOver(int timeoutMs)
{
    if (!display || owned.isEmpty() || XGetSelectionOwner(display, atomSelection) != window)
        return false;
    const Atom manager = XInternAtom(display, "CLIPBOARD_MANAGER", False);
    if (XGetSelectionOwner(display, manager) == None)
        return false;
    // SAVE_TARGETS, naming every format we hold: the manager converts them
    // from us (while we go on serving) and answers once it has them.
    QList<Atom> targets;
    for (const X11Format &f : std::as_const(owned))
        targets << XInternAtom(display, f.target.constData(), False);
    const Atom saveProperty = XInternAtom(display, "PARLOTTA_SAVE_TARGETS", False);
    XChangeProperty(display, window, saveProperty, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(targets.constData()),
                    int(targets.size()));
    XConvertSelection(display, manager, atomSaveTargets, saveProperty, window, serverTime());
    XEvent event;
    return waitFor(event, timeoutMs,
                   [&](const XEvent &e) {
                       return e.type == SelectionNotify && e.xselection.requestor == window &&
                              e.xselection.selection == manager;
                   }) &&
           event.xselection.property != None;
}

void X11Clipboard::writeProperty(Window requestor, Atom property, const X11Format &format,
                                 const QByteArray &bytes)
{
    const Atom type = XInternAtom(
        display, format.propertyType.isEmpty() ? "STRING" : format.propertyType.constData(), False);
    const qsizetype unit = format.bits == 32 ? qsizetype(sizeof(long)) : format.bits / 8;
    XChangeProperty(display, requestor, property, type, format.bits, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(bytes.constData()),
                    int(bytes.size() / unit));
}

} // namespace parlotta
