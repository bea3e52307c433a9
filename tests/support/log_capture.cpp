#include "support/log_capture.hpp"

#include <cstdarg>
#include <cstdio>

LogCapture::LogCapture()
{
	base_get_log_handler(&previous_, &previousParam_);
	base_set_log_handler(&LogCapture::handler, this);
}

LogCapture::~LogCapture()
{
	base_set_log_handler(previous_, previousParam_);
}

std::vector<LogLine> LogCapture::matching(const std::string &fragment) const
{
	std::vector<LogLine> found;
	std::lock_guard<std::mutex> hold(lock_);
	for (const LogLine &line : lines_)
		if (line.text.find(fragment) != std::string::npos)
			found.push_back(line);
	return found;
}

void LogCapture::handler(int level, const char *format, va_list args, void *param)
{
	va_list sizing;
	va_copy(sizing, args);
	const int length = vsnprintf(nullptr, 0, format, sizing);
	va_end(sizing);

	std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
	if (length > 0)
		vsnprintf(text.data(), text.size() + 1, format, args);
	auto *capture = static_cast<LogCapture *>(param);
	std::lock_guard<std::mutex> hold(capture->lock_);
	capture->lines_.push_back({level, text});
}
