// A core that floods its standard output, for the output forwarding benchmark.
//
// The file named after -f holds two numbers, the count of lines and the bytes per line (the line
// feed included). Each line goes out in its own write, as a core's logger writes them:
// "flood line {number, 6 digits} " padded with 'x' to length, then LF. When all are written the
// core writes "{first write start} {last write end} {ticks blocked in writes} {ticks per second}"
// (performance counter ticks, which every process shares) to the -f path plus ".report" and ends.
// Line numbers count from 0, so the last line's text tells the reader that everything is through.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::wstring config_path() {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::wstring path;
    for (int i = 1; arguments != nullptr && i + 1 < count; ++i) {
        if (std::wstring(arguments[i]) == L"-f") {
            path = arguments[i + 1];
        }
    }
    ::LocalFree(arguments);
    return path;
}

long long counter() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

}  // namespace

int main() {
    const std::wstring config = config_path();
    FILE* in = _wfopen(config.c_str(), L"rb");
    unsigned long lines = 0;
    unsigned long length = 0;
    if (in == nullptr || std::fscanf(in, "%lu %lu", &lines, &length) != 2 || length < 20) {
        return 3;
    }
    std::fclose(in);

    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::string line(length, 'x');
    line.back() = '\n';
    long long blocked = 0;
    const long long first = counter();
    for (unsigned long i = 0; i < lines; ++i) {
        char head[32];
        const int n = std::snprintf(head, sizeof head, "flood line %06lu ", i);
        line.replace(0, static_cast<std::size_t>(n), head);
        const long long before = counter();
        DWORD written = 0;
        const BOOL ok =
            ::WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        blocked += counter() - before;
        if (!ok) {
            return 4;
        }
    }
    const long long last = counter();

    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    FILE* report = _wfopen((config + L".report").c_str(), L"wb");
    if (report == nullptr) {
        return 5;
    }
    std::fprintf(report, "%lld %lld %lld %lld\n", first, last, blocked, frequency.QuadPart);
    std::fclose(report);
    return 0;
}
