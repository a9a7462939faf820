#include "sarvelabackupdb.h"
#include "serviceaccount.h"

#include <QFileInfo>

#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    // "-i" alone, on an installed system, registers the account the service runs as there:
    // registered as the local system account it would refuse to start.
    std::vector<char *> arguments(argv, argv + argc);
    QByteArray account;
    if (argc == 2 && (!std::strcmp(argv[1], "-i") || !std::strcmp(argv[1], "-install"))) {
        account = serviceaccount::ofProgramDir(
                      QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).path())
                      .toLocal8Bit();
        if (!account.isEmpty())
            arguments.push_back(account.data());
    }
    arguments.push_back(nullptr);
    SarvelaBackupDB service(int(arguments.size() - 1), arguments.data());
    return service.exec();
}
