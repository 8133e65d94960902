// A window that takes the keyboard focus and records what reaches it: each
// key event, and the text that a paste delivers.
//   paste_target --dir DIR [--terminal] [--own-clipboard]
//   DIR/focused   appears once the window has the focus
//   DIR/text      everything pasted so far
//   DIR/keys      one line per key event: "press|release KEY MODIFIERS"
// --terminal      behaves like a terminal emulator: pastes on Ctrl+Shift+V
//                 only, and types "^V" on Ctrl+V (start it with -name gnome-terminal)
// --own-clipboard puts text, HTML and a binary format on the clipboard
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>
#include <QMimeData>
#include <QWidget>

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
    explicit Target(bool terminal)
        : terminal(terminal)
    {
        setWindowTitle(QStringLiteral("Paste Target"));
        setFocusPolicy(Qt::StrongFocus);
        resize(400, 200);
    }

  protected:
    void focusInEvent(QFocusEvent *) override
    {
        writeFile(QStringLiteral("focused"), "1");
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        record("press", event);
        const auto mods = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier |
                                                Qt::AltModifier | Qt::MetaModifier);
        // Like browsers and GTK, a layout without Latin letters has Control+V
        // matched by the key's position (X keycode 55, the V key).
        const bool v =
            event->key() == Qt::Key_V || (event->nativeScanCode() == 55 && event->key() > 0x7f);
        if (v && mods == Qt::ControlModifier)
            terminal ? append("^V") : paste();
        else if (v && mods == (Qt::ControlModifier | Qt::ShiftModifier) && terminal)
            paste();
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
        writeFile(QStringLiteral("keys"),
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
        writeFile(QStringLiteral("text"), text.toUtf8());
    }

    bool terminal;
    QString text;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    dir = args.value(args.indexOf(QStringLiteral("--dir")) + 1);
    writeFile(QStringLiteral("text"), "");
    if (args.contains(QStringLiteral("--own-clipboard"))) {
        auto *mime = new QMimeData;
        mime->setText(QStringLiteral("clip text \u00e9"));
        mime->setHtml(QStringLiteral("<b>clip</b>"));
        QByteArray binary;
        for (int i = 0; i < 256; ++i)
            binary.append(char(i));
        mime->setData(QStringLiteral("application/x-parlotta-test"), binary);
        QGuiApplication::clipboard()->setMimeData(mime);
    }
    Target target(args.contains(QStringLiteral("--terminal")));
    target.show();
    target.activateWindow();
    target.raise();
    return app.exec();
}
