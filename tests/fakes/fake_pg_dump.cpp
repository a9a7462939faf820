// A stand-in for pg_dump in tests. Each call appends to the file named by
// FAKE_PG_DUMP_RECORD a block: "--call--", argv one per line, then "PGPASSWORD=<value>",
// and writes a small file at --file=. The database "gagal" fails with exit code 3 and
// "macet" hangs until killed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *recordPath = std::getenv("FAKE_PG_DUMP_RECORD");
    if (FILE *record = recordPath && *recordPath ? std::fopen(recordPath, "a") : nullptr) {
        std::fputs("--call--\n", record);
        for (int i = 0; i < argc; ++i)
            std::fprintf(record, "%s\n", argv[i]);
        const char *password = std::getenv("PGPASSWORD");
        std::fprintf(record, "PGPASSWORD=%s\n", password ? password : "(unset)");
        std::fclose(record);
    }
    for (int i = 1; i < argc; ++i) {
        if (FILE *dump =
                std::strncmp(argv[i], "--file=", 7) ? nullptr : std::fopen(argv[i] + 7, "w")) {
            std::fputs("PGDMP fake dump\n", dump);
            std::fclose(dump);
        }
    }
    const std::string database = argv[argc - 1];
    while (database == "macet")
        pause();
    std::fputs(database == "gagal" ? "pg_dump: error: connection to server failed\n"
                                   : "pg_dump: last built-in OID is 16383\npg_dump: saving\n",
               stderr);
    return database == "gagal" ? 3 : 0;
}
