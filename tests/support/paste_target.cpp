// A window that takes the keyboard focus and records what reaches it: each
// key event, and the text that a paste delivers.
//   paste_target --dir DIR [--field|--multiline] [--own-clipboard] [--app-id ID] [--class NAME]
//   DIR/focused   appears once the window has the focus
//   DIR/text      everything pasted so far (with --field: the field's text)
//   DIR/keys      one line per key event: "press|release KEY MODIFIERS"
// --field         the window is a plain Qt text field, with Qt's own key bindings
// --multiline     the same, a text area of several lines
// --class NAME    the X11 window class (WM_CLASS: paste_target, NAME capitalized); the
//                 window pastes on Control+V and, as a terminal does, Control+Shift+V
// --own-clipboard puts text, HTML and a binary format on the clipboard (again on F12)
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QWidget>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

QString dir;

void writeFile(const QString &name, const QByteArray &bytes,
               QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(dir + u'/' + name);
    if (file.open(mode))
        file.write(bytes);
}

class Target : public QWidget {
  public:
    Target()
    {
        setWindowTitle(u"Paste Target"_s);
        setFocusPolicy(Qt::StrongFocus);
        resize(400, 200);
    }

  protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        record("press", event);
        const auto mods = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier |
                                                Qt::AltModifier | Qt::MetaModifier);
        if (event->key() == Qt::Key_V &&
            (mods == Qt::ControlModifier || mods == (Qt::ControlModifier | Qt::ShiftModifier)))
            paste();
        else if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
                 mods == Qt::NoModifier)
            append(u"\n"_s);
        else if (!event->text().isEmpty() && mods == Qt::NoModifier)
            append(event->text());
    }

    void keyReleaseEvent(QKeyEvent *event) override
    {
        record("release", event);
    }

  private:
    void record(const char *what, QKeyEvent *event)
    {
        writeFile(u"keys"_s,
                  QByteArray(what) + ' ' + QByteArray::number(event->key()) + ' ' +
                      QByteArray::number(int(event->modifiers())) + ' ' +
                      QByteArray::number(event->isAutoRepeat()) + '\n',
                  QIODevice::Append);
    }

    void paste()
    {
        append(QGuiApplication::clipboard()->text());
    }

    void append(const QString &more)
    {
        text += more;
        writeFile(u"text"_s, text.toUtf8());
    }

    QString text;
};

void ownClipboard()
{
    auto *mime = new QMimeData;
    mime->setText(u"clip text \u00e9"_s);
    mime->setHtml(u"<b>clip</b>"_s);
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    mime->setData(u"application/x-parlotta-test"_s, binary);
    QGuiApplication::clipboard()->setMimeData(mime);
}

struct OwnOnF12 : QObject {
    explicit OwnOnF12(bool own)
        : own(own)
    {
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (own && event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent *>(event)->key() == Qt::Key_F12)
            ownClipboard();
        return false;
    }
    bool own;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    dir = args.value(args.indexOf(u"--dir"_s) + 1);
    if (args.contains(u"--app-id"_s)) // a Wayland window's application id
        QGuiApplication::setDesktopFileName(args.value(args.indexOf(u"--app-id"_s) + 1));
    if (args.contains(u"--class"_s)) // Qt makes WM_CLASS's class of the application's name
        QCoreApplication::setApplicationName(args.value(args.indexOf(u"--class"_s) + 1));
    writeFile(u"text"_s, "");
    std::unique_ptr<QWidget> window;
    if (args.contains(u"--field"_s)) {
        auto *field = new QLineEdit;
        QObject::connect(field, &QLineEdit::textChanged,
                         [](const QString &now) { writeFile(u"text"_s, now.toUtf8()); });
        field->setWindowTitle(u"Paste Target"_s);
        field->resize(400, 40);
        window.reset(field);
    } else if (args.contains(u"--multiline"_s)) {
        auto *area = new QPlainTextEdit;
        QObject::connect(area, &QPlainTextEdit::textChanged,
                         [area] { writeFile(u"text"_s, area->toPlainText().toUtf8()); });
        area->setWindowTitle(u"Paste Target"_s);
        area->resize(400, 200);
        window.reset(area);
    } else {
        window = std::make_unique<Target>();
    }
    // On focus, and again on F12: a Wayland compositor may take the clipboard
    // only with the serial of an input event (sway: a key, not the focus).
    const bool own = args.contains(u"--own-clipboard"_s);
    QObject::connect(&app, &QApplication::focusChanged, [&](QWidget *, QWidget *now) {
        if (!now || QFile::exists(dir + u"/focused"_s))
            return;
        if (own)
            ownClipboard();
        writeFile(u"focused"_s, "1");
    });
    OwnOnF12 ownOnF12(own);
    app.installEventFilter(&ownOnF12);
    window->show();
    window->activateWindow();
    window->raise();
    return app.exec();
}
