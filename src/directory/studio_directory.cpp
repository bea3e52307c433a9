// TODO: being written
#include "directory/studio_directory.hpp"
StudioList decodeStudioList(const QByteArray &)
{
	return {};
}
StudioList fetchStudios(const QString &, QString *)
{
	return {};
}
