// A clipboard manager for tests, after the freedesktop convention: it owns
// CLIPBOARD_MANAGER; asked to SAVE_TARGETS, it fetches those targets from the
// clipboard's owner in one MULTIPLE request, then owns CLIPBOARD itself and
// serves what it saved, so the content outlives the program that offered it.
//   clipboard_manager    prints "ready" once it owns CLIPBOARD_MANAGER
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Saved {
    Atom type;
    int format;
    std::vector<unsigned char> bytes; // 32-bit items as longs, as Xlib hands them
    unsigned long items;
};

Display *display;
Window window;
Atom clipboard, manager, saveTargets, multiple, targets, atomPair, pairs;
std::map<Atom, Saved> saved;

void waitFor(int type, XEvent *event)
{
    do
        XNextEvent(display, event);
    while (event->type != type);
}

bool readProperty(Window w, Atom property, Saved *out)
{
    unsigned char *data = nullptr;
    unsigned long after = 0;
    if (XGetWindowProperty(display, w, property, 0, 0x1fffffff, False, AnyPropertyType, &out->type,
                           &out->format, &out->items, &after, &data) != Success ||
        !data)
        return false;
    const unsigned long unit = out->format == 32 ? sizeof(long) : unsigned(out->format) / 8;
    out->bytes.assign(data, data + out->items * unit);
    XFree(data);
    return true;
}

// The owner converts every target into a property of ours in one MULTIPLE request.
bool save(const std::vector<Atom> &wanted, Time time)
{
    std::vector<Atom> list;
    for (size_t i = 0; i < wanted.size(); ++i)
        list.insert(
            list.end(),
            {wanted[i], XInternAtom(display, ("SAVED_" + std::to_string(i)).c_str(), False)});
    XChangeProperty(display, window, pairs, atomPair, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(list.data()), int(list.size()));
    XConvertSelection(display, clipboard, multiple, pairs, window, time);
    XEvent event;
    waitFor(SelectionNotify, &event);
    Saved answered;
    if (event.xselection.property == None || !readProperty(window, pairs, &answered))
        return false;
    const auto *result = reinterpret_cast<const Atom *>(answered.bytes.data());
    saved.clear();
    for (unsigned long i = 0; i + 1 < answered.items; i += 2) {
        Saved one;
        if (result[i] != None && readProperty(window, result[i + 1], &one))
            saved[result[i]] = one;
    }
    return !saved.empty();
}

void serve(const XSelectionRequestEvent &request)
{
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    if (request.selection == manager && request.target == saveTargets) {
        Saved list;
        if (readProperty(request.requestor, request.property, &list) && list.format == 32) {
            const auto *atoms = reinterpret_cast<const Atom *>(list.bytes.data());
            if (save(std::vector<Atom>(atoms, atoms + list.items), request.time)) {
                XSetSelectionOwner(display, clipboard, window, request.time);
                reply.property = request.property;
            }
        }
    } else if (request.selection == clipboard && request.target == targets) {
        std::vector<Atom> offered = {targets};
        for (const auto &entry : saved)
            offered.push_back(entry.first);
        XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(offered.data()),
                        int(offered.size()));
        reply.property = request.property;
    } else if (request.selection == clipboard && saved.count(request.target)) {
        const Saved &data = saved[request.target];
        XChangeProperty(display, request.requestor, request.property, data.type, data.format,
                        PropModeReplace, data.bytes.data(), int(data.items));
        reply.property = request.property;
    }
    XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent *>(&reply));
    XFlush(display);
}

} // namespace

int main()
{
    display = XOpenDisplay(nullptr);
    if (!display)
        return 1;
    window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    clipboard = XInternAtom(display, "CLIPBOARD", False);
    manager = XInternAtom(display, "CLIPBOARD_MANAGER", False);
    saveTargets = XInternAtom(display, "SAVE_TARGETS", False);
    multiple = XInternAtom(display, "MULTIPLE", False);
    targets = XInternAtom(display, "TARGETS", False);
    atomPair = XInternAtom(display, "ATOM_PAIR", False);
    pairs = XInternAtom(display, "SAVE_PAIRS", False);
    XSetSelectionOwner(display, manager, window, CurrentTime);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);
    while (true) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == SelectionRequest)
            serve(event.xselectionrequest);
    }
}
