// Whole setup-dialog cycles as the Tools-menu item runs them: open over the main window, first refresh, another
// refresh, a studio picked, OK, confirmation dismissed, dialog closed and destroyed. libobs must hold nothing more
// afterwards than what the scene keeps, and nothing at all once the test lets go of its scene.
#include "dialog/setup_dialog.hpp"
#include "support/browser_stand_in.hpp"
#include "support/frontend_stub.hpp"
#include "support/http_server.hpp"
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
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <optional>

namespace {

class DialogCycle : public ::testing::Test {
protected:
	static void SetUpTestSuite() { ASSERT_TRUE(obs_session::prepareForBrowserSources()); }
};

// What one cycle showed the user.
struct Cycle {
	QString firstStatus;
	QString refreshedStatus;
	std::optional<SeenMessageBox> confirmation;
	bool closed = false;
};

// One activation of the menu item: the dialog opens on the default server, the user refreshes, picks the second
// studio with the keyboard and presses OK.
Cycle runCycle()
{
	Cycle cycle;
	onNextModal([&](QWidget *shown) {
		auto *dialog = static_cast<QDialog *>(shown);
		// Found as the user finds them: the status text, the editable box, the button by its caption.
		QLabel *status = nullptr;
		for (QLabel *label : dialog->findChildren<QLabel *>())
			if (label->wordWrap()) // the form's own labels do not wrap
				status = label;
		QComboBox *studios = nullptr;
		for (QComboBox *box : dialog->findChildren<QComboBox *>())
			if (box->isEditable())
				studios = box;
		QPushButton *refresh = nullptr;
		for (QPushButton *button : dialog->findChildren<QPushButton *>())
			if (button->text() == QStringLiteral("Atualizar estúdios"))
				refresh = button;
		auto *buttons = dialog->findChild<QDialogButtonBox *>();
		if (!status || !studios || !refresh || !buttons) {
			ADD_FAILURE() << "the dialog's controls were not found";
			dialog->reject();
			return;
		}
		cycle.firstStatus = status->text();
		QTest::mouseClick(refresh, Qt::LeftButton);
		cycle.refreshedStatus = status->text();
		studios->setFocus();
		QTest::keyClick(studios, Qt::Key_Down);
		cycle.confirmation = clickAndReadMessageBox(buttons->button(QDialogButtonBox::Ok), dialog);
		cycle.closed = !dialog->isVisible();
		if (!cycle.closed)
			dialog->reject();
	});
	showSetupDialog();
	return cycle;
}

TEST_F(DialogCycle, wholeCyclesLeaveLibobsAsTheyFoundIt)
{
	HttpTestServer server(3000);
	// ctest runs this on a loopback of its own (tests/support/own_loopback.sh), where the port is free.
	ASSERT_TRUE(server.isListening()) << "127.0.0.1:3000 is taken: run the test through ctest";
	server.serve("/api/studios", HttpAnswer::json(R"([{"id":"c1","name":"Um"},{"id":"c2","name":"Dois"}])"));

	const long baseline = obs_allocs::now();
	{
		QWidget mainWindow;
		frontend::setMainWindow(&mainWindow);
		TestScene scene = obs_scene_create("current");
		frontend::setCurrentScene(obs_scene_get_source(scene));
		const long withScene = obs_allocs::now();

		// The first cycle creates the source, the second updates it: a cycle that held on to anything would
		// show as a count that grows from one cycle to the next.
		long afterCycle[2] = {0, 0};
		for (int i = 0; i < 2; ++i) {
			SCOPED_TRACE(i == 0 ? "create course" : "update course");
			const Cycle cycle = runCycle();
			EXPECT_EQ(cycle.firstStatus, "2 estúdio(s) encontrado(s).");
			EXPECT_EQ(cycle.refreshedStatus, "2 estúdio(s) encontrado(s).");
			ASSERT_TRUE(cycle.confirmation.has_value());
			EXPECT_EQ(cycle.confirmation->text,
				  QStringLiteral("Fonte \"Lorvalen PGM \u2014 c2\" criada/atualizada no scene atual."));
			EXPECT_TRUE(cycle.closed);
			EXPECT_TRUE(mainWindow.findChildren<QDialog *>().isEmpty()) << "the dialog outlived its cycle";
			afterCycle[i] = obs_allocs::now();
		}
		EXPECT_EQ(server.connectionsAccepted(), 4); // two refreshes a cycle, one connection each

		OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 c2");
		ASSERT_TRUE(source);
		EXPECT_EQ(topLevelItems(scene, source).size(), 1u);
		EXPECT_EQ(countSourcesOfType("browser_source"), 1);
		source = nullptr;
		// The source and its item are counted while the scene holds them, so the final check below can fail.
		EXPECT_GT(afterCycle[0], withScene);
		EXPECT_EQ(afterCycle[1], afterCycle[0]);

		frontend::setCurrentScene(nullptr);
		frontend::setMainWindow(nullptr);
	}
	EXPECT_EQ(obs_allocs::settledAt(baseline), baseline) << "libobs objects left behind";
}

} // namespace
