// The project loader's fuzz body over its seed corpus, for every compiler.
#include "ProjectLoaderFuzzBody.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

TEST(ProjectLoaderFuzz, SeedCorpusLoadsWithoutFaults)
{
    th::fuzz::ProjectLoaderSetUp();
    const QDir corpus(QStringLiteral(TH_SOURCE_DIR "/tests/fuzz/corpus/project"));
    const QStringList names = corpus.entryList(QDir::Files);
    ASSERT_FALSE(names.isEmpty());
    for (const QString& name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const QByteArray data = file.readAll();
        th::fuzz::ProjectLoaderOne(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                   static_cast<std::size_t>(data.size()));
        // Every prefix too: truncated files are the commonest damage.
        for (qsizetype cut = 0; cut < data.size(); cut += 7)
            th::fuzz::ProjectLoaderOne(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                       static_cast<std::size_t>(cut));
    }
}
