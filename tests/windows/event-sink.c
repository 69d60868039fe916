/* The program the installer test gives trelvan-list.exe's --commande: it
 * appends to events.txt beside itself one line of what it was given, its
 * command line, TRELVAN_EVENT, TRELVAN_MAC and TRELVAN_IP, tab-separated,
 * then its standard input. Built by the test with MinGW. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static void PutUtf8(FILE *out, const wchar_t *text)
{
    char bytes[8192];
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    if (size > 0)
        fputs(bytes, out);
}

int main(void)
{
    static const wchar_t *const names[] = {L"TRELVAN_EVENT", L"TRELVAN_MAC", L"TRELVAN_IP"};
    wchar_t path[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    wchar_t *slash = wcsrchr(path, L'\\');
    if (length == 0 || length >= MAX_PATH || !slash)
        return 1;
    wcscpy(slash + 1, L"events.txt");
    FILE *out = _wfopen(path, L"ab");
    if (!out)
        return 1;
    PutUtf8(out, GetCommandLineW());
    for (int i = 0; i < 3; ++i) {
        wchar_t value[512] = L"(none)";
        GetEnvironmentVariableW(names[i], value, 512);
        fputc('\t', out);
        PutUtf8(out, value);
    }
    fputc('\t', out);
    _setmode(_fileno(stdin), _O_BINARY);
    char input[4096];
    size_t got;
    while ((got = fread(input, 1, sizeof input, stdin)) > 0)
        fwrite(input, 1, got, out);
    return fclose(out) == 0 ? 0 : 1;
}
