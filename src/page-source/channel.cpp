#include "page-source/channel.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <sys/socket.h>

namespace page {

namespace {

constexpr uint32_t kMaxAudioRate = 768000;

bool isAsciiAlnum(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool pack(Packet type, const void *head, size_t headBytes, const void *tail, size_t tailBytes, PacketBytes &out)
{
	out.clear();
	if (headBytes + tailBytes > kMaxPacketBytes - sizeof type)
		return false;
	out.resize(sizeof type + headBytes + tailBytes);
	memcpy(out.data(), &type, sizeof type);
	if (headBytes)
		memcpy(out.data() + sizeof type, head, headBytes);
	if (tailBytes)
		memcpy(out.data() + sizeof type + headBytes, tail, tailBytes);
	return true;
}

bool decodeRecord(const char *rest, size_t restBytes, Message &out)
{
	RecordHeader header;
	if (restBytes < sizeof header)
		return false;
	memcpy(&header, rest, sizeof header);
	const size_t textBytes = restBytes - sizeof header;
	if (header.idBytes > textBytes || header.nameBytes > textBytes - header.idBytes)
		return false;
	const char *id = rest + sizeof header;
	out.number = header.number;
	out.id = std::string_view(id, header.idBytes);
	out.name = std::string_view(id + header.idBytes, header.nameBytes);
	out.text =
		std::string_view(id + header.idBytes + header.nameBytes, textBytes - header.idBytes - header.nameBytes);
	if (!validRecordId(out.id))
		return false;
	switch (out.type) {
	case Packet::Answer: // the text is JSON, pasted into a script
		return !out.id.empty() && out.name.empty() && !out.text.empty();
	case Packet::PageEvent:
		return out.id.empty() && validRecordName(out.name) && !out.text.empty();
	case Packet::PageCall:
		return validRecordName(out.name);
	case Packet::PageConsole:
		return out.id.empty() && validRecordName(out.name);
	default:
		return false;
	}
}

bool decodeInput(const char *rest, size_t restBytes, Message &out)
{
	if (restBytes != sizeof(InputEvent))
		return false;
	InputEvent &input = out.input;
	memcpy(&input, rest, sizeof input);
	const bool pressed = input.kind == InputKind::Press || input.kind == InputKind::Release;
	const bool wheel = input.kind == InputKind::Wheel;
	const bool key = input.kind == InputKind::KeyDown || input.kind == InputKind::KeyUp;
	return input.kind >= InputKind::Move && input.kind <= InputKind::Blur &&
	       (!pressed || (input.button >= navigation::kLeftButton && input.button <= navigation::kMiddleButton)) &&
	       (input.kind != InputKind::Press || (input.clicks >= 1 && input.clicks <= kMaxClicks)) &&
	       (!wheel || (input.steps >= 1 && input.steps <= kMaxWheelSteps && input.dx >= -1 && input.dx <= 1 &&
			   input.dy >= -1 && input.dy <= 1 && (input.dx != 0) != (input.dy != 0))) &&
	       (!key || memchr(input.text, 0, sizeof input.text) != nullptr);
}

} // namespace

// Ids and names are pasted into the page's scripts and the log: only the characters protocol.hpp allows.
bool validRecordId(std::string_view id)
{
	return id.size() <= kMaxIdBytes &&
	       std::all_of(id.begin(), id.end(), [](char c) { return isAsciiAlnum(c) || c == '-'; });
}

bool validRecordName(std::string_view name)
{
	return !name.empty() && name.size() <= kMaxNameBytes &&
	       std::all_of(name.begin(), name.end(), [](char c) { return isAsciiAlnum(c) || c == '_'; });
}

bool encodeSignal(Packet type, PacketBytes &out)
{
	return pack(type, nullptr, 0, nullptr, 0, out);
}

bool encodeText(Packet type, std::string_view text, PacketBytes &out)
{
	return pack(type, nullptr, 0, text.data(), text.size(), out);
}

bool encodeRecord(Packet type, const Record &record, PacketBytes &out)
{
	const RecordHeader header = {record.number, uint32_t(record.id.size()), uint32_t(record.name.size())};
	const size_t textBytes = record.id.size() + record.name.size() + record.text.size();
	if (textBytes > kMaxPacketBytes) {
		out.clear();
		return false;
	}
	std::string texts;
	texts.reserve(textBytes);
	texts.append(record.id).append(record.name).append(record.text);
	return pack(type, &header, sizeof header, texts.data(), texts.size(), out);
}

bool encodeInput(const InputEvent &event, PacketBytes &out)
{
	return pack(Packet::Input, &event, sizeof event, nullptr, 0, out);
}

bool encodeSwitch(Packet type, bool on, PacketBytes &out)
{
	const uint8_t value = on ? 1 : 0;
	return pack(type, nullptr, 0, &value, sizeof value, out);
}

bool encodeCommand(const Command &command, PacketBytes &out)
{
	switch (command.type) {
	case Packet::Navigate:
	case Packet::Css:
		return encodeText(command.type, command.text, out);
	case Packet::AudioToModule:
	case Packet::Shown:
		return encodeSwitch(command.type, command.on, out);
	default:
		return encodeSignal(command.type, out);
	}
}

size_t audioFramesPerPacket(uint32_t channels)
{
	return channels ? (kMaxPacketBytes - sizeof(AudioHeader)) / (size_t(channels) * sizeof(float)) : 0;
}

bool encodeAudio(uint32_t rate, uint32_t channels, const float *samples, uint32_t frames, PacketBytes &out)
{
	const uint32_t rest[3] = {rate, channels, frames};
	static_assert(sizeof rest == sizeof(AudioHeader) - sizeof(Packet), "AudioHeader is the type and these");
	if (channels == 0 || frames > audioFramesPerPacket(channels)) {
		out.clear();
		return false;
	}
	return pack(Packet::Audio, rest, sizeof rest, samples, size_t(frames) * channels * sizeof(float), out);
}

bool decode(const uint8_t *bytes, size_t size, Message &out)
{
	out = Message{};
	if (size < sizeof(Packet) || size > kMaxPacketBytes)
		return false;
	memcpy(&out.type, bytes, sizeof out.type);
	const auto *rest = reinterpret_cast<const char *>(bytes) + sizeof(Packet);
	const size_t restBytes = size - sizeof(Packet);
	switch (out.type) {
	case Packet::Heartbeat:
		return restBytes == 0;
	case Packet::Failed:
	case Packet::Navigate:
	case Packet::Css:
		out.text = std::string_view(rest, restBytes);
		return true;
	case Packet::PageCall:
	case Packet::PageConsole:
	case Packet::Answer:
	case Packet::PageEvent:
		return decodeRecord(rest, restBytes, out);
	case Packet::Input:
		return decodeInput(rest, restBytes, out);
	case Packet::AudioToModule:
	case Packet::Shown:
		out.on = restBytes == 1 && rest[0] == 1;
		return restBytes == 1 && (rest[0] == 0 || rest[0] == 1);
	case Packet::Audio: {
		if (size < sizeof(AudioHeader) || reinterpret_cast<uintptr_t>(bytes) % alignof(float) != 0)
			return false;
		AudioHeader header;
		memcpy(&header, bytes, sizeof header);
		if (header.rate == 0 || header.rate > kMaxAudioRate || header.channels == 0 ||
		    header.channels > kMaxAudioChannels ||
		    size - sizeof header != size_t(header.frames) * header.channels * sizeof(float))
			return false;
		out.rate = header.rate;
		out.channels = header.channels;
		out.frames = header.frames;
		out.samples = reinterpret_cast<const float *>(bytes + sizeof header);
		return true;
	}
	}
	return false;
}

SendResult sendPacket(int socket, const PacketBytes &packet)
{
	for (;;) {
		if (send(socket, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
			return SendResult::Sent; // one packet goes whole or not at all
		if (errno == EINTR)
			continue;
		return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? SendResult::Full
										   : SendResult::Closed;
	}
}

ssize_t receivePacket(int socket, uint8_t *buffer)
{
	for (;;) {
		// MSG_TRUNC: the packet's whole length, even when it is longer than the buffer.
		const ssize_t received = recv(socket, buffer, kMaxPacketBytes, MSG_DONTWAIT | MSG_TRUNC);
		if (received > 0)
			return size_t(received) > kMaxPacketBytes ? ssize_t(kMaxPacketBytes + 1) : received;
		if (received < 0 && errno == EINTR)
			continue;
		if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return 0;
		return -1; // 0: the peer closed its end
	}
}

bool publishFrame(FrameAreaHeader *area, uint32_t width, uint32_t height, const uint8_t *pixels, size_t stride)
{
	auto *base = reinterpret_cast<uint8_t *>(area);
	const size_t row = size_t(width) * 4;
	const uint64_t published = area->published.load(std::memory_order_relaxed);
	if (published > 0) {
		const uint8_t *last = base + slotOffset(width, height, int((published - 1) % 2));
		bool same = true;
		for (uint32_t y = 0; same && y < height; ++y)
			same = memcmp(last + y * row, pixels + y * stride, row) == 0;
		if (same)
			return false;
	}
	const int slot = int(published % 2);
	uint8_t *out = base + slotOffset(width, height, slot);
	std::atomic<uint32_t> &sequence = area->slotSequence[slot];
	const uint32_t writing = sequence.load(std::memory_order_relaxed) | 1;
	sequence.store(writing, std::memory_order_relaxed);
	std::atomic_thread_fence(std::memory_order_release);
	if (stride == row) {
		memcpy(out, pixels, row * height);
	} else {
		for (uint32_t y = 0; y < height; ++y)
			memcpy(out + y * row, pixels + y * stride, row);
	}
	sequence.store(writing + 1, std::memory_order_release);
	area->published.store(published + 1, std::memory_order_release);
	return true;
}

FrameCopy copyNewestFrame(const FrameAreaHeader *area, uint32_t width, uint32_t height, uint64_t after, uint8_t *out,
			  uint64_t &published)
{
	published = area->published.load(std::memory_order_acquire);
	if (published == 0 || published == after)
		return FrameCopy::Nothing;
	const int slot = int((published - 1) % 2);
	const std::atomic<uint32_t> &sequence = area->slotSequence[slot];
	const uint32_t before = sequence.load(std::memory_order_acquire);
	if (before % 2 != 0)
		return FrameCopy::Torn;
	memcpy(out, reinterpret_cast<const uint8_t *>(area) + slotOffset(width, height, slot),
	       frameBytes(width, height));
	std::atomic_thread_fence(std::memory_order_acquire);
	return sequence.load(std::memory_order_relaxed) == before ? FrameCopy::Copied : FrameCopy::Torn;
}

const char *describeHelperExit(int code)
{
	switch (code) {
	case helper_exit::kOk:
		return "it ended";
	case helper_exit::kBadFrameArea:
		return "its frame area was missing or not the one described";
	case helper_exit::kPipelineError:
		return "its pipeline reported an error";
	case helper_exit::kNoPipeline:
		return "its pipeline could not be built or started";
	case helper_exit::kUsage:
		return "it did not understand its arguments";
	case helper_exit::kNotExecuted:
		return "it could not be executed";
	default:
		return "it ended unexpectedly";
	}
}

} // namespace page
