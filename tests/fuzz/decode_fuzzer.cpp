// libFuzzer target: any byte string a server could send as the studio list body.
#include "directory/studio_directory.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const StudioList studios =
		decodeStudioList(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
	// Invariant of a decoded list: every entry has an id.
	for (const StudioEntry &studio : studios)
		if (studio.id.isEmpty())
			__builtin_trap();
	return 0;
}
