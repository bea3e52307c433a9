// An OBS without its browser plug-in: this process never registers a "browser_source" type.
#include "dialog/setup_dialog.hpp"
#include "output/program_source.hpp"
#include "support/frontend_stub.hpp"
#include "support/message_box_reader.hpp"
#include "support/modal_driver.hpp"
#include "support/obs_allocs.hpp"
#include "support/obs_probe.hpp"
#include "support/obs_session.hpp"
#include "support/qt_print.hpp"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

const QString kMissing =
	QStringLiteral("A Browser Source não está disponível neste OBS (falta o plug-in obs-browser).");

class WithoutBrowserSource : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		// Video running, so that libobs's destruction queue can be waited for and the counts are exact.
		ASSERT_TRUE(obs_session::resetVideo(1920, 1080));
		obs_allocs::warmUp();
	}
};

TEST_F(WithoutBrowserSource, failsAndCreatesNothingEvenWhereTheNameIsFree)
{
	ASSERT_EQ(obs_source_get_display_name("browser_source"), nullptr);
	struct Row {
		const char *behaviour;
		bool nameHeldByAScene;
		bool withErrorText;
	};
	const Row rows[] = {
		{"the name is free", false, true},
		{"another source holds the name: the missing type is what is reported", true, true},
		{"no error text to fill", false, false},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		const long baseline = obs_allocs::now();
		{
			TestScene scene = obs_scene_create("current");
			frontend::setCurrentScene(obs_scene_get_source(scene));
			TestScene holder;
			if (row.nameHeldByAScene)
				holder = obs_scene_create("Lorvalen PGM \xE2\x80\x94 A1");

			QString error;
			EXPECT_FALSE(createOrUpdateProgramSource("http://127.0.0.1:3000", "A1", "pgm", 1920, 1080, 60,
								 true, row.withErrorText ? &error : nullptr));
			if (row.withErrorText) {
				EXPECT_EQ(error, kMissing);
			}

			OBSSourceAutoRelease found = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 A1");
			EXPECT_EQ(found.Get(), row.nameHeldByAScene ? obs_scene_get_source(holder) : nullptr);
			EXPECT_EQ(countSourcesOfType("browser_source"), 0);
			EXPECT_EQ(topLevelItems(scene).size(), 0u);
		}
		frontend::setCurrentScene(nullptr);
		EXPECT_EQ(obs_allocs::settledAt(baseline), baseline) << "libobs objects left behind";
	}
}

TEST_F(WithoutBrowserSource, okShowsTheMissingPlugInAndKeepsTheDialogOpen)
{
	const long baseline = obs_allocs::now();
	{
		TestScene scene = obs_scene_create("current");
		frontend::setCurrentScene(obs_scene_get_source(scene));
		QDialog dialog;
		const SetupControls c = buildSetupDialog(&dialog);
		std::optional<SeenMessageBox> box;
		bool openAfterOk = false;
		onNextModal([&](QWidget *) {
			QTest::keyClicks(c.studioCombo->lineEdit(), "A1");
			box = clickAndReadMessageBox(c.buttonBox->button(QDialogButtonBox::Ok), &dialog);
			openAfterOk = dialog.isVisible();
			dialog.reject();
		});
		dialog.exec();

		ASSERT_TRUE(box.has_value());
		EXPECT_EQ(box->title, "Lorvalen");
		EXPECT_EQ(box->icon, QMessageBox::Critical);
		EXPECT_EQ(box->text, kMissing);
		EXPECT_EQ(box->textFormat, Qt::PlainText);
		EXPECT_EQ(box->parent, &dialog);
		EXPECT_TRUE(openAfterOk);
		EXPECT_EQ(c.studioCombo->currentText(), "A1");
		EXPECT_EQ(countSourcesOfType("browser_source"), 0);
		EXPECT_EQ(topLevelItems(scene).size(), 0u);
	}
	frontend::setCurrentScene(nullptr);
	EXPECT_EQ(obs_allocs::settledAt(baseline), baseline) << "libobs objects left behind";
}

} // namespace
