#pragma once

// What OBS's Interact window sends a browser source, as the input the page helper hands its page: GStreamer's
// navigation events, whose buttons, modifiers, wheel steps and key names differ from OBS's. Pure rules on OBS's
// interaction structs; nothing here calls libobs.

#include "page-source/protocol.hpp"

#include <obs-interaction.h>

#include <optional>
#include <string>

namespace page {

// OBS's INTERACT_* flags as navigation modifiers: Shift, Ctrl, Alt, Command (meta) and the mouse buttons held.
uint32_t navigationModifiers(uint32_t interactModifiers);

// leave: the pointer left the source (WebKit's mouseout and mouseleave follow a move to -1, -1).
InputEvent mouseMoveInput(const obs_mouse_event &event, bool leave);
// Nothing for a button OBS does not name. A press OBS counted as a double click carries its count.
std::optional<InputEvent> mouseClickInput(const obs_mouse_event &event, int32_t button, bool up, uint32_t clicks);
// OBS's deltas are Qt's: 120 a wheel notch, positive away from the user (up) or to the left; WebKit scrolls one
// line per navigation step, whatever its size. Nothing for a zero delta.
std::optional<InputEvent> mouseWheelInput(const obs_mouse_event &event, int xDelta, int yDelta);
// A key by the character it types when it types one printable character, else by its X keysym (OBS's
// native_vkey on Linux): Enter, arrows and Ctrl+letter have control characters or nothing as text. Nothing when
// it has neither.
std::optional<InputEvent> keyInput(const obs_key_event &event, bool up);
InputEvent focusInput(bool focused);

// `text` when it is exactly one character of valid UTF-8 that prints (not a control character), else empty.
std::string printableCharacter(const char *text);

} // namespace page
