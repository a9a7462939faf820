// A stand-in for pg_dump in tests. Each call appends to the file named by
// FAKE_PG_DUMP_RECORD a block: "--call--", then argv one per line, then
// "PGPASSWORD=<value>" (or "PGPASSWORD unset"). It writes a small file at --file=.
// FAKE_PG_DUMP_MODE chooses how it ends:
//   ok (default)  some progress text on stderr, exit 0
//   fail          an error text on stderr, exit 3
//   hang          sleeps until it is killed
//   crash         dies by SIGABRT
//   stderr        a long multi-line text on stderr, exit 0
// FAKE_PG_DUMP_ONLY_DB limits the mode to that database; others end as "ok".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *recordPath = std::getenv("FAKE_PG_DUMP_RECORD");
    if (recordPath && *recordPath) {
        if (FILE *record = std::fopen(recordPath, "a")) {
            std::fputs("--call--\n", record);
            for (int i = 0; i < argc; ++i)
                std::fprintf(record, "%s\n", argv[i]);
            const char *password = std::getenv("PGPASSWORD");
            if (password)
                std::fprintf(record, "PGPASSWORD=%s\n", password);
            else
                std::fputs("PGPASSWORD unset\n", record);
            std::fclose(record);
        }
    }

    std::string mode = std::getenv("FAKE_PG_DUMP_MODE") ? std::getenv("FAKE_PG_DUMP_MODE") : "ok";
    const char *onlyDb = std::getenv("FAKE_PG_DUMP_ONLY_DB");
    const std::string database = argc > 1 ? argv[argc - 1] : "";
    if (onlyDb && database != onlyDb)
        mode = "ok";

    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--file=", 7) == 0) {
            if (FILE *dump = std::fopen(argv[i] + 7, "wb")) {
                std::fputs("PGDMP fake dump\n", dump);
                std::fclose(dump);
            }
        }
    }

    if (mode == "fail") {
        std::fprintf(stderr, "pg_dump: error: connection to server failed\n");
        return 3;
    }
    if (mode == "hang") {
        for (;;)
            pause();
    }
    if (mode == "crash") {
        std::fflush(stderr);
        std::abort();
    }
    if (mode == "stderr") {
        for (int i = 1; i <= 200; ++i)
            std::fprintf(stderr, "pg_dump: dumping contents of table \"public.tbl%d\"\n", i);
        return 0;
    }
    std::fprintf(stderr, "pg_dump: last built-in OID is 16383\npg_dump: saving encoding = UTF8\n");
    return 0;
}
