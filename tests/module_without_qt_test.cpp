// A host whose Qt is not the module's own: the module's Qt has no application object. Loading must fail
// cleanly, with one log line and nothing registered, so that the host unloads the module and keeps running.
#include "support/frontend_stub.hpp"
#include "support/log_capture.hpp"
#include "support/obs_session.hpp"

#include <gtest/gtest.h>
#include <obs-module.h>

#include <QCoreApplication>
#include <QtGlobal>

TEST(ModuleWithoutQtApplication, refusesToLoadAndSaysWhy)
{
	ASSERT_EQ(QCoreApplication::instance(), nullptr);
	LogCapture log;
	obs_module_t *module = nullptr;
	ASSERT_EQ(obs_open_module(&module, LORVALEN_PLUGIN_PATH, LORVALEN_DATA_DIR), MODULE_SUCCESS);
	EXPECT_FALSE(obs_init_module(module));
	EXPECT_TRUE(frontend::menuItems().empty());

	const auto lines = log.matching("[lorvalen-pgm]");
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].text,
		  "[lorvalen-pgm] Lorvalen PGM Source not loaded: this build needs an OBS built with Qt " +
			  std::to_string(QT_VERSION_MAJOR));
	EXPECT_EQ(lines[0].level, LOG_INFO);
}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	obs_session::start();
	const int result = RUN_ALL_TESTS();
	frontend::reset();
	obs_session::stop();
	return result;
}
