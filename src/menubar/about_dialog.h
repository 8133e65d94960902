#pragma once

#include <QDialog>

namespace parlotta {

// "About Parlotta": the name, the version ("dev" for a development build), the
// icon, and the credits with links to the maker's site and the documentation.
class AboutDialog : public QDialog {
    Q_OBJECT

  public:
    AboutDialog();
};

} // namespace parlotta
