#include "sarvelabackupdb.h"

int main(int argc, char **argv)
{
    SarvelaBackupDB service(argc, argv);
    return service.exec();
}
