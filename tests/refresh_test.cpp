// The refresh action, run by the real dialog's refresh button against a local HTTP server.
#include "dialog/setup_dialog.hpp"
#include "directory/studio_directory.hpp"
#include "support/http_server.hpp"
#include "support/qt_print.hpp"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTcpServer>
#include <QTextDocument>
#include <QTimer>

#include <functional>
#include <utility>

namespace {

const QByteArray kThreeStudios = R"([{"id":"s3","name":"Terceiro"},{"id":"s1","name":"Primeiro"},{"id":"  s2 "}])";
const QString kNoStudios = QStringLiteral("Nenhum estúdio encontrado. Abra o Lorvalen ou cole o ID abaixo.");
const QString kFailure = QStringLiteral("Não foi possível consultar o Lorvalen: ");

class StudioRefresh : public ::testing::Test {
protected:
	HttpTestServer server;
	QDialog dialog;
	SetupControls c = buildSetupDialog(&dialog);

	void SetUp() override
	{
		ASSERT_TRUE(server.isListening());
		c.serverEdit->setText(server.url());
	}

	// As the user does it: a press of "Atualizar estúdios", which returns once the refresh has run.
	void refresh() { c.refreshButton->click(); }

	void serve(const HttpAnswer &answer) { server.serve("/api/studios", answer); }

	QStringList itemTexts() const
	{
		QStringList texts;
		for (int i = 0; i < c.studioCombo->count(); ++i)
			texts << c.studioCombo->itemText(i);
		return texts;
	}

	QStringList itemIds() const
	{
		QStringList ids;
		for (int i = 0; i < c.studioCombo->count(); ++i) {
			const QVariant id = c.studioCombo->itemData(i, Qt::UserRole);
			EXPECT_EQ(id.userType(), QMetaType::QString) << "item " << i;
			ids << id.toString();
		}
		return ids;
	}

	// A successful run first, so that a later outcome has something to replace.
	void listThreeStudios()
	{
		serve(HttpAnswer::json(kThreeStudios));
		refresh();
		ASSERT_EQ(c.studioCombo->count(), 3);
	}

	void expectEmptiedBox()
	{
		EXPECT_EQ(c.studioCombo->count(), 0);
		EXPECT_EQ(c.studioCombo->currentIndex(), -1);
		EXPECT_EQ(c.studioCombo->currentText(), "");
	}
};

TEST_F(StudioRefresh, listsThreeStudiosInTheServersOrderWithTheFirstCurrent)
{
	listThreeStudios();
	EXPECT_EQ(itemTexts(), (QStringList{"Terceiro  (s3)", "Primeiro  (s1)", "  s2   (  s2 )"}));
	// The id stays exactly as received: the apply action trims it, not the list.
	EXPECT_EQ(itemIds(), (QStringList{"s3", "s1", "  s2 "}));
	EXPECT_EQ(c.studioCombo->currentIndex(), 0);
	EXPECT_EQ(c.studioCombo->currentText(), "Terceiro  (s3)");
	EXPECT_EQ(c.studioCombo->currentData(Qt::UserRole), QVariant(QStringLiteral("s3")));
	EXPECT_EQ(c.statusLabel->text(), "3 estúdio(s) encontrado(s).");
	EXPECT_EQ(server.targets(), (QList<QByteArray>{"/api/studios"}));
}

TEST_F(StudioRefresh, countsEveryStudioInTheSameWording)
{
	QByteArray many = "[";
	for (int i = 0; i < 1234; ++i)
		many += (i ? ",{\"id\":\"e" : "{\"id\":\"e") + QByteArray::number(i) + "\"}";
	many += "]";
	struct Case {
		const char *behaviour;
		QByteArray body;
		int items;
		QString status;
		QString first;
	};
	const Case cases[] = {
		{"oneStudio", R"({"studios":[{"id":"solo"}]})", 1, "1 estúdio(s) encontrado(s).", "solo  (solo)"},
		{"duplicatesAreTwoItems", R"([{"id":"d","name":"D"},{"id":"d","name":"D"}])", 2,
		 "2 estúdio(s) encontrado(s).", "D  (d)"},
		{"noDigitGrouping", many, 1234, "1234 estúdio(s) encontrado(s).", "e0  (e0)"},
	};
	for (const Case &k : cases) {
		SCOPED_TRACE(k.behaviour);
		serve(HttpAnswer::json(k.body));
		refresh();
		EXPECT_EQ(c.studioCombo->count(), k.items);
		EXPECT_EQ(c.statusLabel->text(), k.status);
		EXPECT_EQ(c.studioCombo->currentText(), k.first);
	}
}

TEST_F(StudioRefresh, aFailureAfterASuccessEmptiesTheBoxAndQuotesTheError)
{
	quint16 closedPort = 0;
	{
		QTcpServer probe;
		ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
		closedPort = probe.serverPort();
	}
	const std::pair<const char *, std::function<void()>> failures[] = {
		{"httpError",
		 [&]() {
			 serve(HttpAnswer::json(kThreeStudios, 500, "Falha Interna"));
		 }},
		{"closedPort",
		 [&]() {
			 c.serverEdit->setText(QStringLiteral("http://127.0.0.1:%1").arg(closedPort));
		 }},
	};
	for (const auto &failure : failures) {
		SCOPED_TRACE(failure.first);
		c.serverEdit->setText(server.url());
		listThreeStudios();
		failure.second();
		refresh();
		expectEmptiedBox();
		// The network layer's text, unchanged, as the fetch reports it for the same answer.
		QString expected;
		fetchStudios(c.serverEdit->text(), &expected);
		ASSERT_FALSE(expected.isEmpty());
		EXPECT_EQ(c.statusLabel->text(), kFailure + expected);
	}
	EXPECT_TRUE(c.statusLabel->text().contains("Connection refused")) << c.statusLabel->text().toStdString();
}

TEST_F(StudioRefresh, aServerWithoutStudiosEmptiesTheBoxAndSaysSo)
{
	listThreeStudios();
	serve(HttpAnswer::json(R"({"studios":[]})"));
	refresh();
	expectEmptiedBox();
	EXPECT_EQ(c.statusLabel->text(), kNoStudios);
}

TEST_F(StudioRefresh, aServerThatNeverFinishesCountsAsNoStudiosAndNothingChangesDuringTheWait)
{
	listThreeStudios();
	// Headers, then a byte every 50 ms for ever: the answer never ends, so only the time limit ends the wait.
	serve(HttpAnswer::trickle(R"({"studios":[{"id":"tarde"})", 1, 50));
	int countDuring = -1;
	QString statusDuring;
	QTimer::singleShot(500, &dialog, [&]() {
		countDuring = c.studioCombo->count();
		statusDuring = c.statusLabel->text();
	});
	QElapsedTimer clock;
	clock.start();
	refresh();
	const qint64 elapsed = clock.elapsed();
	EXPECT_GE(elapsed, 2000);
	EXPECT_LE(elapsed, 10000);
	EXPECT_EQ(countDuring, 3);
	EXPECT_EQ(statusDuring, "3 estúdio(s) encontrado(s).");
	expectEmptiedBox();
	EXPECT_EQ(c.statusLabel->text(), kNoStudios);
}

TEST_F(StudioRefresh, anAnswerOverTheSizeCapIsAFailure)
{
	HttpAnswer endless = HttpAnswer::json(R"([{"id":"a"},)");
	endless.fillBytes = -1;
	serve(endless);
	refresh();
	expectEmptiedBox();
	EXPECT_EQ(c.statusLabel->text(),
		  "Não foi possível consultar o Lorvalen: resposta do servidor maior que 32 MiB");
}

TEST_F(StudioRefresh, textTypedIntoTheBoxIsGoneAfterARunWhateverItsOutcome)
{
	const std::pair<const char *, HttpAnswer> answers[] = {
		{"studios", HttpAnswer::json(kThreeStudios)},
		{"noStudios", HttpAnswer::json("[]")},
		{"failure", HttpAnswer::json("", 404, "Not Found")},
	};
	for (const auto &answer : answers) {
		SCOPED_TRACE(answer.first);
		serve(answer.second);
		c.studioCombo->setEditText(QStringLiteral("colado-a-mao"));
		refresh();
		EXPECT_EQ(c.studioCombo->currentText(), c.studioCombo->count() ? "Terceiro  (s3)" : "");
		EXPECT_FALSE(itemTexts().contains("colado-a-mao"));
	}
}

TEST_F(StudioRefresh, textFromTheServerIsShownAsPlainText)
{
	serve(HttpAnswer::json(R"([{"id":"html","name":"<b>Estúdio</b> <img src=x>"}])"));
	refresh();
	EXPECT_EQ(itemTexts(), (QStringList{"<b>Estúdio</b> <img src=x>  (html)"}));

	serve(HttpAnswer::json("", 500, "<b>Erro</b> <a href=\"http://127.0.0.1/\">clique</a>"));
	refresh();
	const QString status = c.statusLabel->text();
	EXPECT_TRUE(status.startsWith(kFailure));
	EXPECT_TRUE(status.contains("<b>Erro</b>")) << status.toStdString();
	// Text like this would be rendered as markup by a label left to guess its format.
	EXPECT_TRUE(Qt::mightBeRichText(status));
	EXPECT_EQ(c.statusLabel->textFormat(), Qt::PlainText);
}

} // namespace
