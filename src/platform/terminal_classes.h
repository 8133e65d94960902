#pragma once

#include "platform/key_injector.h"

namespace parlotta {

// How an application pastes, by its window class or application id: as any
// application (Control+V), as a terminal (Control+Shift+V), or as the xterm
// family, which binds nothing to Control+Shift+V and pastes PRIMARY on
// Shift+Insert. For the key injectors, which know the focused window.
KeyInjector::Keystroke pasteKeystrokeForWindowClass(const QByteArray &instance,
                                                    const QByteArray &className);

} // namespace parlotta
