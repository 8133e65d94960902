#pragma once

#include <QLabel>
#include <QMessageBox>

namespace parlotta {

// Shows every text of the box as the characters it holds: texts from the
// release site, the model hub or a file are never taken for markup.
inline void usePlainText(QMessageBox &box)
{
    box.setTextFormat(Qt::PlainText);
    // The informative text has a label of its own, which knows no format setting.
    for (QLabel *label : box.findChildren<QLabel *>())
        label->setTextFormat(Qt::PlainText);
}

} // namespace parlotta
