#include "output/naming.hpp"

#include "directory/server_url.hpp"

QString buildSourceName(const QString &studioId, const QString &signalCode)
{
	const QString label = signalCode == QLatin1String("vpgm") ? QStringLiteral("Vertical") : QStringLiteral("PGM");
	return QStringLiteral("Lorvalen ") + label + QStringLiteral(" \u2014 ") + studioId;
}

QString buildOutputUrl(const QString &serverUrl, const QString &studioId, const QString &signalCode)
{
	return normalizeServerUrl(serverUrl) + QStringLiteral("/out/") + studioId + QStringLiteral("?src=") +
	       signalCode;
}
