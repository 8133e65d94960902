// For unit tests of a subsystem with nothing above it: every call that
// app/wiring.cpp makes from a lower subsystem to a higher one does nothing.
#include "core/daemon.h"
#include "hotkey/event_tap.h"
#include "menubar/menu_handler.h"
#include "models/model_store.h"

void parlotta::onStartSignal() {}
void parlotta::onStopSignal() {}
void parlotta::onReloadSignal() {}
void parlotta::onShutdown() {}
void parlotta::onEventTapActive() {}
void parlotta::onLanguageChosen() {}
void parlotta::onOpenSettings() {}
void parlotta::onModelActivated() {}
