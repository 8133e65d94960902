#include "menubar/about_dialog.h"

#include "core/deployment.h"
#include "menubar/menu_handler.h"
#include "menubar/status_icon.h"
#include "update/installer.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace parlotta {

namespace {

// The credits' size: a step below the body text, as small print.
QFont creditsFont(const QWidget *widget)
{
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    return font;
}

// A link that is a button underneath, so that keyboard users and assistive
// technology can reach and press it like any other button.
QPushButton *linkButton(const QString &text, const QString &url, QWidget *parent)
{
    // "&" would mark a mnemonic and vanish from the text.
    auto *button =
        new QPushButton(QString(text).replace(QLatin1Char('&'), QLatin1String("&&")), parent);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setFont(creditsFont(parent));
    button->setToolTip(url);
    button->setStyleSheet(QStringLiteral("QPushButton { color: palette(link); border: none; "
                                         "padding: 0; text-decoration: underline; }"));
    QObject::connect(button, &QPushButton::clicked, button, [url] { openWebPage(url); });
    return button;
}

} // namespace

AboutDialog::AboutDialog()
{
    setWindowTitle(QStringLiteral("About Parlotta"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto *icon = new QLabel(this);
    icon->setPixmap(statusPixmap(64, QString(), false));
    icon->setAccessibleName(QStringLiteral("Parlotta icon"));

    auto *name = new QLabel(QStringLiteral("Parlotta"), this);
    QFont nameFont = name->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.3);
    name->setFont(nameFont);

    auto *version = new QLabel(
        QStringLiteral("Version ") + installedVersion().value_or(QStringLiteral("dev")), this);
    version->setTextFormat(Qt::PlainText); // read from a file: never markup
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *madeBy = new QLabel(QStringLiteral("Made by "), this);
    madeBy->setFont(creditsFont(this));
    madeBy->setForegroundRole(QPalette::PlaceholderText); // the secondary text colour
    auto *makerLine = new QHBoxLayout;
    makerLine->setSpacing(0);
    makerLine->addStretch();
    makerLine->addWidget(madeBy);
    makerLine->addWidget(linkButton(makerName, makerURL, this));
    makerLine->addStretch();

    auto *docsLine = new QHBoxLayout;
    docsLine->addStretch();
    docsLine->addWidget(linkButton(QStringLiteral("Documentation & Setup Guide"), siteURL, this));
    docsLine->addStretch();

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->setContentsMargins(28, 20, 28, 16);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    layout->addSpacing(6);
    layout->addWidget(name, 0, Qt::AlignHCenter);
    layout->addWidget(version, 0, Qt::AlignHCenter);
    layout->addSpacing(12);
    layout->addLayout(makerLine);
    layout->addSpacing(2); // the small gap between the two credit lines
    layout->addLayout(docsLine);
    layout->addSpacing(12);
    layout->addWidget(buttons);
}

} // namespace parlotta
