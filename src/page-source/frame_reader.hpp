#pragma once

// The module's side of a helper's frames: the frame area it makes for each helper, and the reader that brings
// the newest whole frame into the source's texture.

#include "page-source/channel.hpp"

#include <graphics/graphics.h>

#include <memory>
#include <mutex>
#include <vector>

namespace page {

// Shared memory of exactly frameAreaBytes(width, height): a memfd sealed against shrinking and growing before
// any helper sees it, so no helper can make a read of it fault, and mapped here. Whoever reads it sizes and
// places every copy by width() and height(), never by the header, which the helper can write.
class FrameArea {
public:
	// Null (errno set) when the memory cannot be had.
	static std::shared_ptr<FrameArea> create(uint32_t width, uint32_t height);
	~FrameArea();
	FrameArea(const FrameArea &) = delete;
	FrameArea &operator=(const FrameArea &) = delete;

	// The descriptor a helper inherits; closed once the helper has it.
	int descriptor() const { return fd_; }
	void closeDescriptor();

	FrameAreaHeader *header() const { return static_cast<FrameAreaHeader *>(mapping_); }
	uint32_t width() const { return width_; }
	uint32_t height() const { return height_; }

private:
	FrameArea() = default;

	int fd_ = -1;
	void *mapping_ = nullptr;
	size_t bytes_ = 0;
	uint32_t width_ = 0;
	uint32_t height_ = 0;
};

// Brings the newest whole frame of the area attached (the running helper's) to the source: each new frame is
// copied out of the area, its slot's sequence checked, and only then uploaded, so a torn frame never reaches
// the texture. attach() from any thread; the rest from one thread at a time (the graphics thread in OBS).
class FrameReader {
public:
	FrameReader() = default;
	~FrameReader(); // enters graphics to destroy the texture
	FrameReader(const FrameReader &) = delete;
	FrameReader &operator=(const FrameReader &) = delete;

	// The area to read from now; null for none. The picture drawn last stays until the new area's first frame,
	// so that a new helper (a new size) never shows a transparent frame.
	void attach(std::shared_ptr<FrameArea> area);
	// Drops the picture drawn last: nothing is drawn until a frame comes (a failed page).
	void forgetPicture();

	// Copies the newest frame published since the last one copied whole into pixels(); after Torn, pixels()
	// holds nothing usable and the next call tries again.
	FrameCopy copyNewest();
	// The last copy: the area's width x height, BGRA, rows packed.
	const std::vector<uint8_t> &pixels() const { return pixels_; }

	// Graphics thread: the texture holding the newest whole frame, null before the first or once forgotten.
	gs_texture_t *texture();

private:
	std::mutex lock_; // area_, generation_ and forget_
	std::shared_ptr<FrameArea> area_;
	uint64_t generation_ = 0;
	bool forget_ = false;

	uint64_t readGeneration_ = 0;
	uint64_t copied_ = 0; // the number of the last frame copied whole from this area, 0: none yet
	std::vector<uint8_t> pixels_;
	uint32_t width_ = 0; // of the area pixels_ was copied from
	uint32_t height_ = 0;
	gs_texture_t *texture_ = nullptr;
	bool hasPicture_ = false;
};

} // namespace page
