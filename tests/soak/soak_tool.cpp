// dbutils/pg_dump and dbutils/pg_restore as the soak installs them. Each call runs the real
// tool in its own place, unless the soak left an order for this tool and database: a file
// soak/<tool>.<database> in the program folder, taken by the first call that finds it, whose
// first word says what goes wrong:
//   gagal      the tool reports an error and ends with code 1, having written nothing
//   macet      the tool writes a little and then hangs until it is killed
//   sampah     pg_dump writes bytes that are no archive and ends with code 0
//   potong     pg_dump writes the whole dump, cuts off its last tenth and ends with code 0
//   bunuh MS   the real tool is killed after MS milliseconds, and so is this call
// Every call adds a line "<tool> <database> <order> <pid>" to soak/calls.log.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The tool is always called by a path with a folder in it.
std::string baseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}
std::string dirName(const std::string &path)
{
    return path.substr(0, path.rfind('/'));
}

// pg_restore is given "<folder>/bu_<database>_<yyyyMMdd.hhmmss>.bu.tmp-XXXXXX".
std::string databaseOfArchive(const std::string &path)
{
    const std::string name = baseName(path);
    const size_t mark = name.find(".bu.tmp-");
    return mark == std::string::npos || mark < 3 + 16 ? name : name.substr(3, mark - 3 - 16);
}

// Takes the order for this call, if there is one: renamed first, so that no two calls get it.
std::string takeOrder(const std::string &orders, const std::string &tool, const std::string &db)
{
    const std::string path = orders + "/" + tool + "." + db;
    const std::string taken = path + ".diambil." + std::to_string(::getpid());
    if (::rename(path.c_str(), taken.c_str()) != 0)
        return "normal";
    char text[64] = {};
    if (FILE *file = std::fopen(taken.c_str(), "r")) {
        if (!std::fgets(text, sizeof text, file))
            text[0] = 0;
        std::fclose(file);
    }
    ::unlink(taken.c_str());
    std::string order(text, std::strcspn(text, "\n"));
    while (!order.empty() && order.back() == ' ')
        order.pop_back();
    return order.empty() ? "normal" : order;
}

void record(const std::string &orders, const std::string &line)
{
    const int file = ::open((orders + "/calls.log").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (file >= 0) {
        const std::string text = line + "\n";
        ssize_t ignored = ::write(file, text.data(), text.size());
        (void)ignored;
        ::close(file);
    }
}

std::string outputFile(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (!std::strncmp(argv[i], "--file=", 7))
            return argv[i] + 7;
    return std::string();
}

void writeBytes(const std::string &path, size_t count)
{
    if (FILE *file = std::fopen(path.c_str(), "w")) {
        std::string bytes(count, '\0');
        for (size_t i = 0; i < count; ++i)
            bytes[i] = char((i * 2654435761u) >> 13);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

// The real tool as a child that dies with this process; its wait status.
int runReal(const std::string &real, char **argv, int killAfterMs)
{
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            ::_exit(127);
        argv[0] = const_cast<char *>(real.c_str());
        ::execv(real.c_str(), argv);
        ::_exit(127);
    }
    if (child < 0)
        return -1;
    if (killAfterMs >= 0) {
        ::usleep(useconds_t(killAfterMs) * 1000);
        ::kill(child, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string self = argv[0];
    const std::string tool = baseName(self);
    const std::string orders = dirName(dirName(self)) + "/soak";
    const std::string real = std::string(SOAK_PGBIN) + "/" + tool;
    const bool dump = tool == "pg_dump";
    const std::string db = dump ? argv[argc - 1] : databaseOfArchive(argv[argc - 1]);
    const std::string order = takeOrder(orders, tool, db);
    record(orders, tool + " " + db + " " + order + " " + std::to_string(::getpid()));

    if (order == "normal") {
        argv[0] = const_cast<char *>(real.c_str());
        ::execv(real.c_str(), argv);
        std::perror(real.c_str());
        return 127;
    }
    const std::string file = outputFile(argc, argv);
    if (order == "gagal") {
        std::fprintf(stderr, "%s: error: soak: gagal yang disuntikkan\n", tool.c_str());
        return 1;
    }
    if (order == "macet") {
        if (dump)
            writeBytes(file, 4096);
        for (;;)
            ::pause();
    }
    if (order == "sampah" && dump) {
        writeBytes(file, 65536);
        return 0;
    }
    if (order == "potong" && dump) {
        const int status = runReal(real, argv, -1);
        struct stat info = {};
        if (::stat(file.c_str(), &info) == 0)
            if (::truncate(file.c_str(), info.st_size * 9 / 10) != 0)
                std::perror(file.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    if (order.rfind("bunuh", 0) == 0) {
        runReal(real, argv, std::atoi(order.c_str() + 5));
        ::signal(SIGKILL, SIG_DFL);
        ::kill(::getpid(), SIGKILL);
        for (;;)
            ::pause();
    }
    std::fprintf(stderr, "%s: soak: perintah tidak dikenal [%s]\n", tool.c_str(), order.c_str());
    return 2;
}
