#include "page-source/frame_reader.hpp"

#include <obs.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace page {

std::shared_ptr<FrameArea> FrameArea::create(uint32_t width, uint32_t height)
{
	std::shared_ptr<FrameArea> area(new FrameArea);
	area->bytes_ = frameAreaBytes(width, height);
	area->width_ = width;
	area->height_ = height;
	area->fd_ = memfd_create("lorvalen-page-frames", MFD_CLOEXEC | MFD_ALLOW_SEALING);
	// Sealed before any helper has it: a mapping of a file that shrank faults on the pages past its end,
	// which would end OBS with SIGBUS.
	if (area->fd_ < 0 || ftruncate(area->fd_, off_t(area->bytes_)) != 0 ||
	    fcntl(area->fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
		return nullptr;
	void *mapping = mmap(nullptr, area->bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, area->fd_, 0);
	if (mapping == MAP_FAILED)
		return nullptr;
	area->mapping_ = mapping;
	FrameAreaHeader *header = area->header();
	header->magic = kFrameAreaMagic;
	header->width = width;
	header->height = height;
	header->stride = width * 4;
	return area;
}

FrameArea::~FrameArea()
{
	const int saved = errno; // create() reports its failure through errno
	closeDescriptor();
	if (mapping_)
		munmap(mapping_, bytes_);
	errno = saved;
}

void FrameArea::closeDescriptor()
{
	if (fd_ >= 0)
		close(fd_);
	fd_ = -1;
}

FrameReader::~FrameReader()
{
	if (texture_) {
		obs_enter_graphics();
		gs_texture_destroy(texture_);
		obs_leave_graphics();
	}
}

void FrameReader::attach(std::shared_ptr<FrameArea> area)
{
	std::lock_guard<std::mutex> hold(lock_);
	area_ = std::move(area);
	++generation_;
}

void FrameReader::forgetPicture()
{
	std::lock_guard<std::mutex> hold(lock_);
	forget_ = true;
}

FrameCopy FrameReader::copyNewest()
{
	// The area stays mapped while this copy holds it, whatever the helper's supervisor does meanwhile.
	std::shared_ptr<FrameArea> area;
	{
		std::lock_guard<std::mutex> hold(lock_);
		area = area_;
		if (forget_) {
			forget_ = false;
			hasPicture_ = false;
		}
		if (readGeneration_ != generation_) {
			readGeneration_ = generation_;
			copied_ = 0;
		}
	}
	if (!area)
		return FrameCopy::Nothing;
	pixels_.resize(frameBytes(area->width(), area->height()));
	width_ = area->width();
	height_ = area->height();
	uint64_t published = 0;
	const FrameCopy result = copyNewestFrame(area->header(), width_, height_, copied_, pixels_.data(), published);
	if (result == FrameCopy::Copied)
		copied_ = published;
	return result;
}

gs_texture_t *FrameReader::texture()
{
	if (copyNewest() == FrameCopy::Copied) {
		if (texture_ &&
		    (gs_texture_get_width(texture_) != width_ || gs_texture_get_height(texture_) != height_)) {
			gs_texture_destroy(texture_);
			texture_ = nullptr;
		}
		if (!texture_)
			texture_ = gs_texture_create(width_, height_, GS_BGRA, 1, nullptr, GS_DYNAMIC);
		if (texture_)
			gs_texture_set_image(texture_, pixels_.data(), width_ * 4, false);
		hasPicture_ = texture_ != nullptr;
	}
	return hasPicture_ ? texture_ : nullptr;
}

} // namespace page
