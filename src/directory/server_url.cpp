#include "directory/server_url.hpp"

QString normalizeServerUrl(QString address)
{
	address = address.trimmed();
	if (address.isEmpty())
		address = QString::fromLatin1(kDefaultServerUrl);
	// The default is chosen before stripping on purpose: "///" gives the empty text, not the default.
	while (address.endsWith(QLatin1Char('/'), Qt::CaseSensitive))
		address.chop(1);
	return address;
}
