// A program for the shell tests. It waits (up to 20 s) until the file
// "go" appears in its working directory, then writes "child-output.txt"
// there: its QUILLMERE_* environment, then one argument a line, then
// "end". Waiting first lets the test see that its starter did not wait.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    for (int i = 0; i < 2000 && access("go", F_OK) != 0; ++i)
        usleep(10000);
    std::FILE* out = std::fopen("child-output.txt.tmp", "w");
    if (!out)
        return 1;
    const char* vars[] = {"QUILLMERE_SHOW_CMD", "QUILLMERE_USER_DIR", "QUILLMERE_INSTALL_DIR",
                          "QUILLMERE_TIME_SCALE"};
    for (const char* v : vars) {
        const char* value = std::getenv(v);
        std::fprintf(out, "%s=%s\n", v, value ? value : "<unset>");
    }
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "arg=%s\n", argv[i]);
    std::fprintf(out, "end\n");
    std::fclose(out);
    // Renamed into place so the test never reads a half-written file.
    return std::rename("child-output.txt.tmp", "child-output.txt") == 0 ? 0 : 1;
}
