// Times wd1's GetAll with "*.zip" over a host directory tree, reached through the host's
// own volume table as the program would reach it.
//
// Usage: velmarch-bench-walk TREE LISTFILE [RUNS]
// Prints the number of archives listed and the wall time of each run in milliseconds.

#include "platform/dosfs.h"
#include "platform/volumes.h"
#include "search/wd1.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: velmarch-bench-walk TREE LISTFILE [RUNS]\n");
        return 2;
    }
    const QString tree = platform::toDosPath(QDir(args.at(1)).absolutePath());
    const QString listFile = platform::toDosPath(QDir(args.at(2)).absolutePath());
    const int runs = args.size() > 3 ? args.at(3).toInt() : 5;
    if (tree.isEmpty() || listFile.isEmpty()) {
        std::fprintf(stderr, "not reachable through a drive letter\n");
        return 2;
    }

    Wd1& wd = wd1();
    for (int run = 0; run < runs; ++run) {
        wd.setPattern(QStringLiteral("*.zip"));
        wd.setRecurse(true);
        wd.setSPath(tree);
        wd.setOutFile(listFile);
        QElapsedTimer timer;
        timer.start();
        wd.GetAll();
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        QStringList lines;
        if (platform::readLines(listFile, &lines)) {
            std::fprintf(stderr, "no list file\n");
            return 1;
        }
        std::printf("run %d: %lld archives, %.1f ms\n", run + 1,
                    static_cast<long long>(lines.size()), ms);
    }
    return 0;
}
