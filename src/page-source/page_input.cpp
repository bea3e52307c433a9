#include "page-source/page_input.hpp"

#include "page-source/page_rules.hpp"

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
	const std::string_view all = text ? text : "";
	size_t length = 0;
	const uint32_t code = all.empty() ? 0 : decodeUtf8(all, 0, length);
	const bool bad = code == 0xfffd && length == 1;
	if (all.empty() || bad || length != all.size() || isControl(code))
		return std::string();
	return std::string(all);
}

} // namespace page
