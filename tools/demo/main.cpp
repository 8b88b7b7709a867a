// Creates the demo workspace for a first run: kvrsi-demo WORKSPACE_FOLDER PROGRAM_FOLDER
#include "demo.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: kvrsi-demo WORKSPACE_FOLDER PROGRAM_FOLDER\n");
        return 2;
    }
    const kvr::demo::Result result =
        kvr::demo::createWorkspace(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    if (result.skinsFolder.isEmpty()) {
        std::fprintf(stderr, "kvrsi-demo: cannot write the demo workspace in %s\n", argv[1]);
        return 1;
    }
    std::printf("%s\n%s\n", qPrintable(result.gameFolder), qPrintable(result.skinsFolder));
    return 0;
}
