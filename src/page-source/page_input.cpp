#include "page-source/page_input.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace page {

namespace {

InputEvent at(InputKind kind, const obs_mouse_event &event)
{
	InputEvent input;
	input.kind = kind;
	input.x = event.x;
	input.y = event.y;
	input.modifiers = navigationModifiers(event.modifiers);
	return input;
}

// The length of the UTF-8 sequence starting with `lead`, 0 when no sequence starts with it.
size_t sequenceLength(unsigned char lead)
{
	if (lead < 0x80)
		return 1;
	if (lead >= 0xc2 && lead <= 0xdf)
		return 2;
	if (lead >= 0xe0 && lead <= 0xef)
		return 3;
	if (lead >= 0xf0 && lead <= 0xf4)
		return 4;
	return 0;
}

} // namespace

uint32_t navigationModifiers(uint32_t interact)
{
	const std::pair<uint32_t, uint32_t> map[] = {
		{INTERACT_SHIFT_KEY, navigation::kShift},      {INTERACT_CONTROL_KEY, navigation::kControl},
		{INTERACT_ALT_KEY, navigation::kAlt},          {INTERACT_COMMAND_KEY, navigation::kMeta},
		{INTERACT_MOUSE_LEFT, navigation::kButton1},   {INTERACT_MOUSE_RIGHT, navigation::kButton2},
		{INTERACT_MOUSE_MIDDLE, navigation::kButton3},
	};
	uint32_t modifiers = 0;
	for (const auto &[from, to] : map)
		if (interact & from)
			modifiers |= to;
	return modifiers;
}

InputEvent mouseMoveInput(const obs_mouse_event &event, bool leave)
{
	if (!leave)
		return at(InputKind::Move, event);
	InputEvent input;
	input.kind = InputKind::Leave;
	input.x = -1;
	input.y = -1;
	return input;
}

std::optional<InputEvent> mouseClickInput(const obs_mouse_event &event, int32_t button, bool up, uint32_t clicks)
{
	InputEvent input = at(up ? InputKind::Release : InputKind::Press, event);
	switch (button) {
	case MOUSE_LEFT:
		input.button = navigation::kLeftButton;
		break;
	case MOUSE_MIDDLE:
		input.button = navigation::kMiddleButton;
		break;
	case MOUSE_RIGHT:
		input.button = navigation::kRightButton;
		break;
	default:
		return std::nullopt;
	}
	if (!up)
		input.clicks = std::clamp<uint32_t>(clicks, 1, kMaxClicks);
	return input;
}

std::optional<InputEvent> mouseWheelInput(const obs_mouse_event &event, int xDelta, int yDelta)
{
	// OBS sends one axis at a time; x wins, as in OBS's Interact window.
	const int delta = xDelta ? xDelta : yDelta;
	if (delta == 0)
		return std::nullopt;
	InputEvent input = at(InputKind::Wheel, event);
	(xDelta ? input.dx : input.dy) = delta > 0 ? 1 : -1;
	// A touchpad's small pixel deltas still move one line: a smaller step has no navigation event.
	input.steps = std::clamp<uint32_t>(uint32_t((std::abs(delta) + 60) / 120), 1, kMaxWheelSteps);
	return input;
}

std::optional<InputEvent> keyInput(const obs_key_event &event, bool up)
{
	InputEvent input;
	input.kind = up ? InputKind::KeyUp : InputKind::KeyDown;
	input.modifiers = navigationModifiers(event.modifiers);
	const std::string character = printableCharacter(event.text);
	if (!character.empty())
		memcpy(input.text, character.data(), character.size());
	else if (event.native_vkey != 0)
		input.keysym = event.native_vkey;
	else
		return std::nullopt;
	return input;
}

InputEvent focusInput(bool focused)
{
	InputEvent input;
	input.kind = focused ? InputKind::Focus : InputKind::Blur;
	return input;
}

std::string printableCharacter(const char *text)
{
	if (!text || !*text)
		return std::string();
	const auto *bytes = reinterpret_cast<const unsigned char *>(text);
	const size_t length = sequenceLength(bytes[0]);
	if (length == 0 || strnlen(text, length + 1) != length)
		return std::string();
	uint32_t code = length == 1 ? bytes[0] : bytes[0] & (0x7f >> length);
	for (size_t i = 1; i < length; ++i) {
		if ((bytes[i] & 0xc0) != 0x80)
			return std::string();
		code = code << 6 | (bytes[i] & 0x3f);
	}
	const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
	const bool control = code < 0x20 || (code >= 0x7f && code < 0xa0);
	const bool surrogate = code >= 0xd800 && code <= 0xdfff;
	if (code < shortest[length] || code > 0x10ffff || control || surrogate)
		return std::string();
	return std::string(text, length);
}

} // namespace page
