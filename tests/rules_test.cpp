// The pure rules: server address, source name, output URL and canvas fit arithmetic.
#include "directory/server_url.hpp"
#include "output/canvas_fit.hpp"
#include "output/naming.hpp"
#include "support/qt_print.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

struct TextCase {
	const char *behaviour;
	QString input;
	QString expected;
};

TEST(ServerAddress, normalisesAsTyped)
{
	const TextCase cases[] = {
		{"emptyGivesDefault", "", "http://127.0.0.1:3000"},
		{"blanksOnlyGiveDefault", " \t\r\n ", "http://127.0.0.1:3000"},
		{"blanksAndSlashAroundDefault", "  http://127.0.0.1:3000/  ", "http://127.0.0.1:3000"},
		{"everyTrailingSlashGoes", "http://127.0.0.1:3000///", "http://127.0.0.1:3000"},
		{"onlySlashesGiveEmptyNotDefault", "/", ""},
		{"manySlashesWithBlanksGiveEmpty", "  ///  ", ""},
		{"pathPrefixSurvives", "http://127.0.0.1:3000/lorvalen/", "http://127.0.0.1:3000/lorvalen"},
		{"noSchemeIsNotAdded", "127.0.0.1:3000", "127.0.0.1:3000"},
		{"trimmedOnceBeforeStripping", "http://h:1/ /", "http://h:1/ "},
		{"caseKept", "HTTP://Studio.Local:3000/", "HTTP://Studio.Local:3000"},
		{"innerBlanksKept", " http://a b/ ", "http://a b"},
		{"queryKept", "http://h/?x=1", "http://h/?x=1"},
	};
	for (const TextCase &c : cases)
		EXPECT_EQ(normalizeServerUrl(c.input), c.expected) << c.behaviour;
}

TEST(ServerAddress, leavesCallersTextAlone)
{
	const QString typed = QStringLiteral("  http://h:1//  ");
	normalizeServerUrl(typed);
	EXPECT_EQ(typed, QStringLiteral("  http://h:1//  "));
	EXPECT_STREQ(kDefaultServerUrl, "http://127.0.0.1:3000");
}

TEST(SourceName, labelsBySignalWithEmDash)
{
	struct Case {
		const char *behaviour;
		QString id;
		QString signal;
		QString expected;
	};
	const Case cases[] = {
		{"horizontal", "A1", "pgm", QString::fromUtf8("Lorvalen PGM \xE2\x80\x94 A1")},
		{"vertical", "A1", "vpgm", QString::fromUtf8("Lorvalen Vertical \xE2\x80\x94 A1")},
		{"upperCaseIsNotVertical", "A1", "VPGM", QString::fromUtf8("Lorvalen PGM \xE2\x80\x94 A1")},
		{"blankBeforeIsNotVertical", "A1", " vpgm", QString::fromUtf8("Lorvalen PGM \xE2\x80\x94 A1")},
		{"emptySignalIsHorizontal", "A1", "", QString::fromUtf8("Lorvalen PGM \xE2\x80\x94 A1")},
		{"idVerbatim", "a b/?#&é", "pgm", QString::fromUtf8("Lorvalen PGM \xE2\x80\x94 a b/?#&\xC3\xA9")},
	};
	for (const Case &c : cases)
		EXPECT_EQ(buildSourceName(c.id, c.signal), c.expected) << c.behaviour;
}

TEST(SourceName, emDashIsOneCharacterAndThreeUtf8Bytes)
{
	const QString name = buildSourceName(QStringLiteral("A1"), QStringLiteral("pgm"));
	EXPECT_EQ(name.size(), 17); // "Lorvalen " 9 + "PGM" 3 + " — " 3 + "A1" 2
	EXPECT_EQ(name.at(13).unicode(), 0x2014);
	const QByteArray utf8 = name.toUtf8();
	EXPECT_EQ(utf8, QByteArray("Lorvalen PGM \xE2\x80\x94 A1"));
}

TEST(SourceName, sameForOtherServersAndOtherNonVerticalCodes)
{
	EXPECT_EQ(buildSourceName("A1", "pgm"), buildSourceName("A1", "other"));
	EXPECT_NE(buildOutputUrl("", "A1", "pgm"), buildOutputUrl("", "A1", "other"));
	EXPECT_NE(buildOutputUrl("http://a:1", "A1", "pgm"), buildOutputUrl("http://b:1", "A1", "pgm"));
}

TEST(OutputUrl, joinsBaseIdAndSignalUnescaped)
{
	struct Case {
		const char *behaviour;
		QString server;
		QString id;
		QString signal;
		QString expected;
	};
	const Case cases[] = {
		{"emptyServerUsesDefault", "", "A1", "pgm", "http://127.0.0.1:3000/out/A1?src=pgm"},
		{"trailingSlashesGo", "http://127.0.0.1:3000//", "A1", "pgm", "http://127.0.0.1:3000/out/A1?src=pgm"},
		{"noSchemeKept", "127.0.0.1:3000", "A1", "pgm", "127.0.0.1:3000/out/A1?src=pgm"},
		{"onlySlashesGiveRootPath", "//", "A1", "vpgm", "/out/A1?src=vpgm"},
		{"signalCodeVerbatim", "http://h", "A1", "VPGM", "http://h/out/A1?src=VPGM"},
		{"pathPrefixKept", " http://h:1/base/ ", "A1", "pgm", "http://h:1/base/out/A1?src=pgm"},
		{"idNotEscaped", "http://h", "a b/?#&é", "pgm",
		 QString::fromUtf8("http://h/out/a b/?#&\xC3\xA9?src=pgm")},
	};
	for (const Case &c : cases)
		EXPECT_EQ(buildOutputUrl(c.server, c.id, c.signal), c.expected) << c.behaviour;
}

// Compares floats bit for bit: the worked values are exact single-precision results, not approximations.
::testing::AssertionResult sameBits(float actual, float expected)
{
	uint32_t a, e;
	memcpy(&a, &actual, sizeof a);
	memcpy(&e, &expected, sizeof e);
	if (a == e)
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure()
	       << actual << " (0x" << std::hex << a << ") is not " << expected << " (0x" << e << ")";
}

TEST(CanvasFit, workedValuesComeOutBitForBit)
{
	struct Case {
		uint32_t canvasW, canvasH;
		int32_t w, h;
		float scale, x, y;
	};
	const Case cases[] = {
		{1920, 1080, 1920, 1080, 1.0f, 0.0f, 0.0f},
		{1920, 1080, 1080, 1920, 0.5625f, 656.25f, 0.0f},
		{1080, 1920, 1920, 1080, 0.5625f, 0.0f, 656.25f},
		{1920, 1080, 1440, 1080, 1.0f, 240.0f, 0.0f},
		{1920, 1080, 3840, 2160, 0.5f, 0.0f, 0.0f},
		{1920, 1080, 320, 180, 6.0f, 0.0f, 0.0f},
		{1920, 1080, 960, 540, 2.0f, 0.0f, 0.0f},
		{1280, 720, 1920, 1080, 1280.0f / 1920.0f, 0.0f, 0.0f},
		// 1.2f * 1600 rounds to 1920.0001220703125, so x is -2^-14, not 0.
		{1920, 1080, 1600, 900, 1.2f, -0.00006103515625f, 0.0f},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " on " << c.canvasW << "x" << c.canvasH);
		const std::optional<CanvasFit> fit = computeCanvasFit(c.canvasW, c.canvasH, c.w, c.h);
		ASSERT_TRUE(fit.has_value());
		EXPECT_TRUE(sameBits(fit->scale, c.scale));
		EXPECT_TRUE(sameBits(fit->x, c.x));
		EXPECT_TRUE(sameBits(fit->y, c.y));
	}
	EXPECT_TRUE(sameBits(computeCanvasFit(1920, 1080, 1600, 900)->x, -std::ldexp(1.0f, -14)));
}

TEST(CanvasFit, nothingForEmptyCanvasOrSource)
{
	EXPECT_FALSE(computeCanvasFit(0, 1080, 1920, 1080));
	EXPECT_FALSE(computeCanvasFit(1920, 0, 1920, 1080));
	EXPECT_FALSE(computeCanvasFit(1920, 1080, 0, 1080));
	EXPECT_FALSE(computeCanvasFit(1920, 1080, 1920, -1));
}

} // namespace
