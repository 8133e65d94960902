// Qt before Xlib, whose macros (Bool, Status) clash with Qt's names.
#include <QFile>

#include "platform/x11/x11_display.h"
#include "platform/x11/x11_services.h"

#include <X11/Xauth.h>
#include <cstdio>

namespace parlotta {

namespace {

// Xlib's default handler ends the process on any error, and errors here are
// routine: a paste target that closed its window while we answer it, a key
// grab that another program holds. The code that cares checks its results.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

QByteArray displayName;

// The cookie for the display from an authority file, for every connection
// Xlib opens after; the environment's XAUTHORITY is left alone.
void useAuthority(const QString &path, const QByteArray &display)
{
    std::FILE *file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file)
        return;
    const QByteArray number = display.mid(display.lastIndexOf(':') + 1).split('.').value(0);
    static const QByteArray cookie = "MIT-MAGIC-COOKIE-1";
    while (Xauth *entry = XauReadAuth(file)) {
        const QByteArray name(entry->name, entry->name_length);
        const QByteArray entryNumber(entry->number, entry->number_length);
        // Xlib copies both.
        if (name == cookie && (entryNumber.isEmpty() || entryNumber == number))
            XSetAuthorization(const_cast<char *>(cookie.constData()), int(cookie.size()),
                              entry->data, entry->data_length);
        XauDisposeAuth(entry);
    }
    std::fclose(file);
}

} // namespace

void initX11Threads()
{
    XInitThreads();
    XSetErrorHandler(ignoreXError);
}

void useX11Display(const QByteArray &name, const QString &authorityFile)
{
    displayName = name;
    if (!authorityFile.isEmpty())
        useAuthority(authorityFile, name);
}

QByteArray x11DisplayName()
{
    return displayName;
}

Display *openX11Display()
{
    return displayName.isEmpty() ? nullptr : XOpenDisplay(displayName.constData());
}

bool x11DisplayAnswers()
{
    return mainThreadDisplay() != nullptr;
}

Display *mainThreadDisplay()
{
    static Display *display = openX11Display();
    while (display && XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify)
            XRefreshKeyboardMapping(&event.xmapping);
    }
    return display;
}

} // namespace parlotta
