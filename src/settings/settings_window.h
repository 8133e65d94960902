#pragma once

#include <QWidget>

class QLabel;

namespace parlotta {

// Sets a hint's text and the height its wrapped lines need.
void setHintText(QLabel *hint, const QString &text);

class SettingsController;

// The settings window: titled and closable only; closing hides it and tells
// the controller.
class SettingsWindow : public QWidget {
    Q_OBJECT

  public:
    explicit SettingsWindow(SettingsController *controller);

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    SettingsController *controller;
};

} // namespace parlotta
