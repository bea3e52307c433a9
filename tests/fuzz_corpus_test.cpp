// Every input kept from fuzzing the decoder (the seeds, and any input that once crashed it) decodes to a
// list whose entries all have an id. Run under the sanitizers, this replays each of them.
#include "directory/studio_directory.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

TEST(FuzzCorpus, everyKeptInputDecodesSafely)
{
	const QDir corpus(LORVALEN_FUZZ_CORPUS);
	const QStringList files = corpus.entryList(QDir::Files);
	ASSERT_GE(files.size(), 10);
	for (const QString &name : files) {
		SCOPED_TRACE(name.toStdString());
		QFile file(corpus.filePath(name));
		ASSERT_TRUE(file.open(QIODevice::ReadOnly));
		for (const StudioEntry &studio : decodeStudioList(file.readAll()))
			EXPECT_FALSE(studio.id.isEmpty());
	}
}
