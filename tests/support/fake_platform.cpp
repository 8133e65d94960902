#include "fake_platform.h"

#include "platform/platform.h"

#include <unistd.h>

namespace fake {

Platform &platform()
{
    static Platform state;
    return state;
}

} // namespace fake

namespace parlotta {

namespace {

class FakeRecorder final : public AudioRecorder {
  public:
    bool prepare(int fd, const QString &source, QString *error) override
    {
        file = fd;
        fake::platform().recordedSource = source;
        if (QSemaphore *answer = fake::platform().recorder.answer)
            answer->acquire();
        if (!fake::platform().recorder.prepares) {
            *error = u"no sound server"_s;
            return false;
        }
        return true;
    }
    bool record(QString *error) override
    {
        if (!fake::platform().recorder.records)
            *error = u"not ready"_s;
        return fake::platform().recorder.records;
    }
    bool usedDefaultInstead() const override
    {
        return false;
    }
    double currentTime() const override
    {
        return fake::platform().recorder.seconds;
    }
    float averagePower() const override
    {
        return fake::platform().recorder.power;
    }
    QString failure() const override
    {
        return fake::platform().recorder.failure;
    }
    void stop() override
    {
        if (file < 0)
            return;
        const QByteArray &wav = fake::platform().recorder.wav;
        [[maybe_unused]] const ssize_t written = ::write(file, wav.constData(), size_t(wav.size()));
        ::close(file);
        file = -1;
    }
    ~FakeRecorder() override
    {
        if (file >= 0)
            ::close(file);
    }

  private:
    int file = -1;
};

class FakeCues final : public CuePlayer {
  public:
    void play(const QString &name, const QByteArray &) override
    {
        fake::platform().cues << name;
    }
};

class FakeClipboard final : public Clipboard {
  public:
    explicit FakeClipboard(fake::Selection fake::Platform::*which)
        : which(which)
    {
    }
    void save(SaveDone done) override
    {
        selection().calls << u"save"_s;
        if (selection().saveError.isEmpty())
            done(true, selection().content, {});
        else
            done(false, {}, selection().saveError);
    }
    void setText(const QString &text) override
    {
        selection().calls << u"setText"_s;
        selection().content = {{"UTF8_STRING", text.toUtf8()}};
    }
    bool pasteRead() override
    {
        if (selection().calls.value(selection().calls.size() - 1) != u"wait"_s)
            selection().calls << u"wait"_s;
        return true;
    }
    void clear() override
    {
        selection().calls << u"clear"_s;
        selection().content.clear();
    }
    void restore(const QList<ClipboardFormat> &formats) override
    {
        selection().calls << u"restore"_s;
        selection().content = formats;
    }

  private:
    fake::Selection &selection()
    {
        return fake::platform().*which;
    }
    fake::Selection fake::Platform::*which;
};

class FakeInjector final : public KeyInjector {
  public:
    QString mechanism() const override
    {
        return u"fake"_s;
    }
    Keystroke pasteKeystroke() override
    {
        return fake::platform().keystroke;
    }
    bool liftsHeldKeys() const override
    {
        return fake::platform().liftsHeldKeys;
    }
    FocusedWindow focusedWindow() override
    {
        return fake::platform().focused;
    }
    void send(Keystroke keystroke, SendDone done) override
    {
        const QString error = fake::platform().keystrokeError;
        if (error.isEmpty())
            ++(keystroke == Keystroke::Enter ? fake::platform().enters : fake::platform().pastes);
        done(error.isEmpty(), error);
    }
};

class FakeKeyboardHook final : public KeyboardHook {
  public:
    bool open() override
    {
        return false;
    }
    void run(const std::function<void(std::int64_t, bool)> &,
             const std::function<void(std::int64_t, std::uint64_t)> &) override
    {
    }
    void setSwallowedKey(std::int64_t key, std::uint64_t modifiers) override
    {
        fake::platform().swallowedKey = key;
        fake::platform().swallowedModifiers = modifiers;
    }
    bool grabKeyboard(bool) override
    {
        return true;
    }
};

class FakeShortcuts final : public ShortcutSource {
  public:
    void bind(std::int64_t key, std::uint64_t modifiers, BindDone done) override
    {
        fake::platform().bound = u"%1,%2"_s.arg(key).arg(modifiers);
        done(true, {});
    }
    void start(const std::function<void(bool)> &onChange) override
    {
        fake::platform().shortcut = onChange;
    }
};

class FakeServices final : public PlatformServices {
  public:
    QString keyListenerName() const override
    {
        return u"fake"_s;
    }
    QString pasteName() const override
    {
        return u"fake"_s;
    }
    QString clipboardName() const override
    {
        return u"fake"_s;
    }
    KeyboardHook *keyboardHook() override
    {
        return fake::platform().shortcutsOnly ? nullptr : &hook;
    }
    ShortcutSource *shortcutSource() override
    {
        return fake::platform().shortcutsOnly ? &shortcuts : nullptr;
    }
    Clipboard &clipboard() override
    {
        return board;
    }
    Clipboard &primarySelection() override
    {
        return primary;
    }
    void handOverClipboardToManager() override {}
    KeyInjector &keyInjector() override
    {
        return injector;
    }
    void activateWindowForUser(QWindow *) override {}
    QString keyCharacter(std::int64_t key) override
    {
        return fake::platform().layout.value(key);
    }
    bool isLevel3Shift(std::int64_t key) override
    {
        return fake::platform().level3Shifts.contains(key);
    }
    std::int64_t keyOfScanCode(std::uint32_t) override
    {
        return -1; // the tests hand captured keys to the capture directly
    }
    std::unique_ptr<AudioRecorder> createAudioRecorder() override
    {
        return std::make_unique<FakeRecorder>();
    }
    CuePlayer &cuePlayer() override
    {
        return cues;
    }
    void queryMicrophone(std::function<void(bool)> answer) override
    {
        answer(true);
    }

  private:
    FakeKeyboardHook hook;
    FakeShortcuts shortcuts;
    FakeClipboard board{&fake::Platform::clipboard};
    FakeClipboard primary{&fake::Platform::primary};
    FakeInjector injector;
    FakeCues cues;
};

std::unique_ptr<PlatformServices> createFakePlatform(const Session &)
{
    return std::make_unique<FakeServices>();
}

} // namespace

} // namespace parlotta

namespace fake {

void reset()
{
    platform() = Platform();
    // Once, through the daemon's own selection, as at its start-up.
    [[maybe_unused]] static const bool selected = [] {
        parlotta::selectPlatform(
            parlotta::createFakePlatform(parlotta::Session::fromEnvironment()));
        return true;
    }();
}

} // namespace fake
