/* Asks the Windows profile service (as Wine implements it) the questions listed in a command
 * file and prints its answers, so that our own reader and writer can be checked against it.
 *
 * Command file: one command a line, fields separated by a tab; "\r", "\n", "\t", "\\" and
 * "\xNN" in a field stand for that byte, "\{300a}" for 300 times "a", "\-" for nothing (an
 * empty last field that an editor cannot strip). Lines starting with "#" and blank lines are
 * skipped. File names are relative to the working folder ("./a.ini").
 *   file   <file> [<bytes>]                 creates the file with these bytes (none: empty)
 *   read   <file> <section> <key>           GetPrivateProfileStringA, 255-byte buffer, "" default
 *   write  <file> <section> <key> <value>   WritePrivateProfileStringA
 *   dump   <file>                           the file's bytes
 *   note   <text>                           copied to the output, to label a group
 *
 * Build: x86_64-w64-mingw32-gcc -O2 -o probe.exe probe.c
 * Run:   WINEDEBUG=-all wine probe.exe commands.txt
 */
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_FIELDS 5

struct Field
{
    char* bytes; /* zero-terminated; may hold zeros of its own */
    size_t size;
};

/* Turns the escapes of a command-file field into the bytes they stand for. */
static struct Field unescape(const char* in)
{
    size_t capacity = strlen(in) + 1;
    struct Field f = {malloc(capacity), 0};
    for (; *in;) {
        size_t repeat = 1;
        char c;
        if (in[0] != '\\' || !in[1]) {
            c = *in++;
        } else if (in[1] == '-') {
            in += 2;
            continue;
        } else if (in[1] == 'x' && in[2] && in[3]) {
            char hex[3] = {in[2], in[3], 0};
            c = (char)strtoul(hex, NULL, 16);
            in += 4;
        } else if (in[1] == '{') {
            char* end;
            repeat = strtoul(in + 2, &end, 10);
            c = *end;
            in = end + 2; /* the character and the closing brace */
        } else {
            c = in[1] == 'r' ? '\r' : in[1] == 'n' ? '\n' : in[1] == 't' ? '\t' : in[1];
            in += 2;
        }
        if (f.size + repeat + 1 > capacity) {
            capacity = (f.size + repeat + 1) * 2;
            f.bytes = realloc(f.bytes, capacity);
        }
        memset(f.bytes + f.size, c, repeat);
        f.size += repeat;
    }
    f.bytes[f.size] = 0;
    return f;
}

/* Printable ASCII as it is; everything else, and the quote and backslash, escaped. */
static void printEscaped(const char* bytes, size_t n)
{
    putchar('"');
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)bytes[i];
        if (c == '\r')
            fputs("\\r", stdout);
        else if (c == '\n')
            fputs("\\n", stdout);
        else if (c == '\t')
            fputs("\\t", stdout);
        else if (c == '"' || c == '\\')
            printf("\\%c", c);
        else if (c < 0x20 || c >= 0x7F)
            printf("\\x%02X", c);
        else
            putchar(c);
    }
    putchar('"');
}

static void dump(const char* file)
{
    FILE* f = fopen(file, "rb");
    if (!f) {
        printf("dump %s -> absent\n", file);
        return;
    }
    static char data[1 << 20];
    size_t n = fread(data, 1, sizeof data, f);
    fclose(f);
    printf("dump %s -> ", file);
    printEscaped(data, n);
    putchar('\n');
}

static void printName(const char* command, const struct Field* fields)
{
    printf("%s %s [", command, fields[1].bytes);
    printEscaped(fields[2].bytes, strlen(fields[2].bytes));
    printf("] ");
    printEscaped(fields[3].bytes, strlen(fields[3].bytes));
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: probe.exe <command file>\n");
        return 2;
    }
    /* The answers are compared byte for byte: no "\r" added before each "\n". */
    _setmode(_fileno(stdout), _O_BINARY);
    FILE* in = fopen(argv[1], "rb");
    if (!in) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    static char line[65536];
    while (fgets(line, sizeof line, in)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!line[0] || line[0] == '#')
            continue;
        char* raw[MAX_FIELDS] = {0};
        int count = 0;
        for (char* p = line; p && count < MAX_FIELDS; ++count) {
            raw[count] = p;
            p = strchr(p, '\t');
            if (p)
                *p++ = 0;
        }
        struct Field fields[MAX_FIELDS] = {{0}};
        for (int i = 0; i < count; ++i)
            fields[i] = unescape(raw[i]);
        const char* command = raw[0];

        if (!strcmp(command, "note") && count >= 2) {
            printf("\n## %s\n", fields[1].bytes);
        } else if (!strcmp(command, "file") && (count == 2 || count == 3)) {
            FILE* out = fopen(fields[1].bytes, "wb");
            size_t size = count == 3 ? fields[2].size : 0;
            if (!out || (size && fwrite(fields[2].bytes, 1, size, out) != size)) {
                fprintf(stderr, "cannot write %s\n", fields[1].bytes);
                return 2;
            }
            fclose(out);
        } else if (!strcmp(command, "read") && count == 4) {
            char buffer[255];
            memset(buffer, ' ', sizeof buffer);
            DWORD n =
                GetPrivateProfileStringA(fields[2].bytes, fields[3].bytes, "", buffer, sizeof buffer, fields[1].bytes);
            printName("read", fields);
            printf(" -> %lu ", (unsigned long)n);
            printEscaped(buffer, n);
            putchar('\n');
        } else if (!strcmp(command, "write") && count == 5) {
            BOOL ok = WritePrivateProfileStringA(fields[2].bytes, fields[3].bytes, fields[4].bytes, fields[1].bytes);
            printName("write", fields);
            printf(" = ");
            printEscaped(fields[4].bytes, strlen(fields[4].bytes));
            printf(" -> %s\n", ok ? "ok" : "refused");
        } else if (!strcmp(command, "dump") && count == 2) {
            dump(fields[1].bytes);
        } else {
            fprintf(stderr, "bad command: %s\n", command);
            return 2;
        }
        for (int i = 0; i < count; ++i)
            free(fields[i].bytes);
        fflush(stdout);
    }
    fclose(in);
    return 0;
}
