// A stand-in for pg_dump and, installed under those names, pg_restore and pg_dumpall in tests.
// As pg_dump, each call appends to the file named by FAKE_PG_DUMP_RECORD a block:
// "--call--", argv one per line, then "PGPASSWORD=<value>", and writes a small dump at
// --file=. The database "gagal" fails with exit code 3, "macet" hangs until killed,
// "sampah" writes a file that is no archive and exits 0, "lambat" takes a second and a half,
// "bacamacet" writes a dump on which pg_restore hangs, and "potong" writes the archive named
// by FAKE_PG_DUMP_SOURCE cut short, as a pg_dump that died at its last blocks leaves it; "besar"
// writes the small dump followed by 4 MB of random bytes, which take a while to send somewhere.
// As pg_restore (--file=- ARCHIVE), it writes the script of the small dump (a table of two
// rows) for it and what begins with it, hangs on the dump of "bacamacet", and fails on anything
// else as pg_restore does. As pg_dumpall, it writes a line of globals at --file= and records
// nothing.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char Dump[] = "PGDMP fake dump\n";
const char HangingDump[] = "PGDMP bacamacet\n";
const char Globals[] = "CREATE ROLE pemilik;\n";
const char Script[] = "--\n-- Data for Name: tblbarang; Type: TABLE DATA; Schema: public; Owner: x\n"
                      "--\n\nCOPY public.tblbarang (id, nama) FROM stdin;\n1\tsatu\n2\tdua\n\\.\n\n";

int restore(const char *archive)
{
    char content[64] = {};
    if (FILE *file = std::fopen(archive, "r")) {
        size_t ignored = std::fread(content, 1, sizeof content - 1, file);
        (void)ignored;
        std::fclose(file);
    }
    while (!std::strcmp(content, HangingDump))
        pause();
    if (!std::strncmp(content, Dump, sizeof Dump - 1)) {
        std::fputs(Script, stdout);
        return 0;
    }
    std::fputs("pg_restore: error: input file does not appear to be a valid archive\n", stderr);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string program = argv[0];
    if (program.size() >= 10 && program.compare(program.size() - 10, 10, "pg_restore") == 0)
        return restore(argv[argc - 1]);
    if (program.size() >= 10 && program.compare(program.size() - 10, 10, "pg_dumpall") == 0) {
        for (int i = 1; i < argc; ++i)
            if (FILE *file = std::strncmp(argv[i], "--file=", 7) ? nullptr : std::fopen(argv[i] + 7, "w")) {
                std::fputs(Globals, file);
                std::fclose(file);
            }
        return 0;
    }

    const char *recordPath = std::getenv("FAKE_PG_DUMP_RECORD");
    if (FILE *record = recordPath && *recordPath ? std::fopen(recordPath, "a") : nullptr) {
        std::fputs("--call--\n", record);
        for (int i = 0; i < argc; ++i)
            std::fprintf(record, "%s\n", argv[i]);
        const char *password = std::getenv("PGPASSWORD");
        std::fprintf(record, "PGPASSWORD=%s\n", password ? password : "(unset)");
        std::fclose(record);
    }
    const std::string database = argv[argc - 1];
    std::string content = database == "sampah"      ? "bukan arsip\n"
                          : database == "bacamacet" ? HangingDump
                                                    : Dump;
    if (database == "potong") {
        content.clear();
        if (FILE *source = std::fopen(std::getenv("FAKE_PG_DUMP_SOURCE"), "r")) {
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, source)) > 0;)
                content.append(buffer, n);
            std::fclose(source);
        }
        content.resize(content.size() * 95 / 100);
    }
    if (database == "besar") {
        std::srand(unsigned(getpid()));
        for (int i = 0; i < 4 * 1024 * 1024; ++i)
            content.push_back(char(std::rand()));
    }
    for (int i = 1; i < argc; ++i) {
        if (FILE *dump = std::strncmp(argv[i], "--file=", 7) ? nullptr : std::fopen(argv[i] + 7, "w")) {
            std::fwrite(content.data(), 1, content.size(), dump);
            std::fclose(dump);
        }
    }
    while (database == "macet")
        pause();
    if (database == "lambat")
        usleep(1500000);
    std::fputs(database == "gagal" ? "pg_dump: error: connection to server failed\n"
                                   : "pg_dump: last built-in OID is 16383\npg_dump: saving\n",
               stderr);
    return database == "gagal" ? 3 : 0;
}
