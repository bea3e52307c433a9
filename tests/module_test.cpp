// The module loaded by libobs's own loader into a running libobs, as OBS loads it.
#include "module/plugin_log.hpp"
#include "support/frontend_stub.hpp"
#include "support/log_capture.hpp"
#include "support/modal_driver.hpp"

#include <gtest/gtest.h>
#include <obs-module.h>
#include <obs.h>

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <dlfcn.h>

namespace {

class ModuleTest : public ::testing::Test {
protected:
	// The module is loaded once per process; the data folder is a copy of the shipped one plus a probe locale.
	static void SetUpTestSuite()
	{
		dataDir = new QTemporaryDir();
		ASSERT_TRUE(dataDir->isValid());
		QDir().mkpath(dataDir->filePath("locale"));
		ASSERT_TRUE(QFile::copy(LORVALEN_DATA_DIR "/locale/en-US.ini", dataDir->filePath("locale/en-US.ini")));
		QFile probe(dataDir->filePath("locale/pt-BR.ini"));
		ASSERT_TRUE(probe.open(QIODevice::WriteOnly));
		probe.write("Probe=\"pt\"\n");
		probe.close();

		frontend::reset();
		log = new LogCapture();
		const QByteArray data = dataDir->path().toUtf8();
		ASSERT_EQ(obs_open_module(&module, LORVALEN_PLUGIN_PATH, data.constData()), MODULE_SUCCESS);
		loaded = obs_init_module(module);
		handle = dlopen(LORVALEN_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
	}

	static void TearDownTestSuite()
	{
		if (handle)
			dlclose(handle);
		delete log;
		delete dataDir;
	}

	template<typename T> static T entry(const char *name) { return reinterpret_cast<T>(dlsym(handle, name)); }

	static inline QTemporaryDir *dataDir = nullptr;
	static inline LogCapture *log = nullptr;
	static inline obs_module_t *module = nullptr;
	static inline bool loaded = false;
	static inline void *handle = nullptr;
};

TEST_F(ModuleTest, loadsRegistersTheToolsItemAndLogsOnce)
{
	EXPECT_TRUE(loaded);
	ASSERT_EQ(frontend::menuItems().size(), 1u);
	EXPECT_EQ(frontend::menuItems()[0].name, "Lorvalen PGM Source...");
	EXPECT_EQ(frontend::menuItems()[0].data, nullptr);

	const auto lines = log->matching("[lorvalen-pgm]");
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].text, "[lorvalen-pgm] Lorvalen PGM Source loaded (version 1.0.0)");
	EXPECT_EQ(lines[0].level, LOG_INFO);
}

TEST_F(ModuleTest, shippedLocaleLoadsWithoutWarnings)
{
	for (const LogLine &line : log->lines()) {
		if (line.level <= LOG_WARNING) {
			EXPECT_EQ(line.text.find("lorvalen-pgm"), std::string::npos) << line.text;
		}
	}
}

TEST_F(ModuleTest, exportsOnlyTheEntryPoints)
{
	ASSERT_NE(handle, nullptr);
	for (const char *name :
	     {"obs_module_set_pointer", "obs_module_ver", "obs_module_set_locale", "obs_module_free_locale",
	      "obs_module_get_string", "obs_module_load", "obs_module_unload"})
		EXPECT_NE(dlsym(handle, name), nullptr) << name;
	for (const char *name : {"obs_module_text", "obs_current_module", "obs_module_lookup", "plugin_log"})
		EXPECT_EQ(dlsym(handle, name), nullptr) << name;
	EXPECT_EQ(entry<uint32_t (*)()>("obs_module_ver")(), uint32_t(LIBOBS_API_VER));
}

TEST_F(ModuleTest, eachLocaleReplacesTheLastAndFreeingLeavesNone)
{
	auto setLocale = entry<void (*)(const char *)>("obs_module_set_locale");
	auto freeLocale = entry<void (*)()>("obs_module_free_locale");
	auto getString = entry<bool (*)(const char *, const char **)>("obs_module_get_string");
	ASSERT_TRUE(setLocale && freeLocale && getString);

	// Loading already set the en-US lookup; the live allocation count shows each lookup come and go.
	const long withLookup = bnum_allocs();
	const char *text = nullptr;
	setLocale("pt-BR");
	ASSERT_TRUE(getString("Probe", &text));
	EXPECT_STREQ(text, "pt");
	setLocale("en-US"); // the pt-BR lookup is destroyed, not kept beside the new one
	EXPECT_FALSE(getString("Probe", &text));
	EXPECT_EQ(bnum_allocs(), withLookup);

	freeLocale();
	const long withoutLookup = bnum_allocs();
	EXPECT_LT(withoutLookup, withLookup);
	EXPECT_FALSE(getString("Probe", &text));
	freeLocale(); // a null lookup is passed on and stays null
	EXPECT_EQ(bnum_allocs(), withoutLookup);

	setLocale("en-US"); // leave a lookup for libobs to free at shutdown, as after a normal load
	EXPECT_EQ(bnum_allocs(), withLookup);
}

TEST_F(ModuleTest, menuItemOpensTheSetupDialogModally)
{
	ASSERT_EQ(frontend::menuItems().size(), 1u);
	QWidget mainWindow;
	frontend::setMainWindow(&mainWindow);
	QString title;
	QWidget *parent = nullptr;
	onNextModal([&](QWidget *modal) {
		title = modal->windowTitle();
		parent = modal->parentWidget();
		static_cast<QDialog *>(modal)->reject();
	});
	const frontend::MenuItem item = frontend::menuItems()[0];
	item.callback(item.data); // returns once the dialog has closed
	frontend::setMainWindow(nullptr);
	EXPECT_EQ(title, "Lorvalen PGM Source");
	EXPECT_EQ(parent, &mainWindow);
}

TEST_F(ModuleTest, unloadLogsItsLine)
{
	LogCapture capture;
	entry<void (*)()>("obs_module_unload")();
	const auto lines = capture.matching("[lorvalen-pgm]");
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].text, "[lorvalen-pgm] Lorvalen PGM Source unloaded");
	EXPECT_EQ(lines[0].level, LOG_INFO);
}

TEST(PluginLog, prefixesAndExpandsTheCallersFormatOnce)
{
	LogCapture capture;
	plugin_log(LOG_INFO, "value %s %d%%", "%d", 5);
	plugin_log(LOG_WARNING, "plain");
	ASSERT_EQ(capture.lines().size(), 2u);
	// "%d" came in as an argument: expanded once, so it stays literal.
	EXPECT_EQ(capture.lines()[0].text, "[lorvalen-pgm] value %d 5%");
	EXPECT_EQ(capture.lines()[0].level, LOG_INFO);
	EXPECT_EQ(capture.lines()[1].text, "[lorvalen-pgm] plain");
	EXPECT_EQ(capture.lines()[1].level, LOG_WARNING);
}

TEST(PluginLog, keepsEveryCharacterOfLongAndEmptyFormats)
{
	LogCapture capture;
	const std::string format(3000, 'x');
	plugin_log(LOG_INFO, "%s", (format + "y").c_str());
	plugin_log(LOG_INFO, format.c_str(), 0);
	plugin_log(LOG_INFO, "%s", "");
	ASSERT_EQ(capture.lines().size(), 3u);
	EXPECT_EQ(capture.lines()[0].text, "[lorvalen-pgm] " + format + "y");
	EXPECT_EQ(capture.lines()[1].text, "[lorvalen-pgm] " + format); // the bound leaves room for the last byte
	EXPECT_EQ(capture.lines()[2].text, "[lorvalen-pgm] ");
}

} // namespace
