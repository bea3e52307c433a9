// TODO: being written
#include "output/program_source.hpp"
bool createOrUpdateProgramSource(const QString &, const QString &, const QString &, int, int, int, bool, QString *)
{
	return false;
}
