#pragma once

// Captures libobs log lines (expanded, with their level) while it lives, and restores libobs's own handler.
// Lines may come from any thread; read them with matching() while other threads may still log.

#include <util/base.h>

#include <mutex>
#include <string>
#include <vector>

struct LogLine {
	int level;
	std::string text;
};

class LogCapture {
public:
	LogCapture();
	~LogCapture();
	LogCapture(const LogCapture &) = delete;
	LogCapture &operator=(const LogCapture &) = delete;

	const std::vector<LogLine> &lines() const { return lines_; }
	// Lines whose text contains the fragment.
	std::vector<LogLine> matching(const std::string &fragment) const;

private:
	static void handler(int level, const char *format, va_list args, void *param);

	mutable std::mutex lock_;
	std::vector<LogLine> lines_;
	log_handler_t previous_ = nullptr;
	void *previousParam_ = nullptr;
};
