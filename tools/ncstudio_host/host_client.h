// Client side of the stand-in NcStudio host: starts the host as a child process and drives it over
// its stdin/stdout, one command line and one reply line at a time. Header-only so that any test
// executable can use it without linking anything of ours.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

class HostProcess {
public:
    HostProcess() = default;
    ~HostProcess() { Quit(); }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Starts the host (path in UTF-8) and greets it. The first start in a fresh Wine prefix is
    // slow, hence the generous default.
    bool Start(const std::string& exePath, DWORD helloTimeoutMs = 30000) {
        Quit();
        std::string exe = NativePath(exePath);
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE childIn = nullptr, childOut = nullptr, childErr = nullptr;
        if (!CreatePipe(&childIn, &in_, &sa, 0)) return false;
        if (!CreatePipe(&out_, &childOut, &sa, 0)) {
            CloseAll({&childIn});
            return false;
        }
        // Only the child's ends may be inherited; our ends would otherwise keep the pipes open
        // in the child (and in any other child started meanwhile) and hide its exit.
        SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
        HANDLE ourErr = GetStdHandle(STD_ERROR_HANDLE);
        if (!ourErr || ourErr == INVALID_HANDLE_VALUE ||
            !DuplicateHandle(GetCurrentProcess(), ourErr, GetCurrentProcess(), &childErr, 0, TRUE,
                             DUPLICATE_SAME_ACCESS))
            childErr = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                                   0, nullptr);
        if (childErr == INVALID_HANDLE_VALUE) childErr = nullptr;

        STARTUPINFOEXW si = {};
        si.StartupInfo.cb = sizeof si;
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = childIn;
        si.StartupInfo.hStdOutput = childOut;
        si.StartupInfo.hStdError = childErr;
        // Limit inheritance to exactly the three handles, so that hosts started in parallel by
        // other threads do not pick up each other's pipes.
        HANDLE inherit[3] = {childIn, childOut, childErr};
        std::vector<char> attrStore;
        DWORD flags = CREATE_NO_WINDOW;
        SIZE_T attrSize = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &attrSize);
        if (attrSize) {
            attrStore.resize(attrSize);
            auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrStore.data());
            if (InitializeProcThreadAttributeList(list, 1, 0, &attrSize)) {
                if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                              childErr ? sizeof inherit : 2 * sizeof(HANDLE), nullptr, nullptr)) {
                    si.lpAttributeList = list;
                    si.StartupInfo.cb = sizeof(STARTUPINFOEXW);
                    flags |= EXTENDED_STARTUPINFO_PRESENT;
                } else {
                    DeleteProcThreadAttributeList(list);
                }
            }
        }
        if (!(flags & EXTENDED_STARTUPINFO_PRESENT)) si.StartupInfo.cb = sizeof(STARTUPINFOW);

        std::wstring wideExe = Wide(exe);
        std::wstring cmdLine = L"\"" + wideExe + L"\"";
        PROCESS_INFORMATION pi = {};
        BOOL started = CreateProcessW(wideExe.c_str(), &cmdLine[0], nullptr, nullptr, TRUE, flags, nullptr,
                                      nullptr, &si.StartupInfo, &pi);
        if (si.lpAttributeList) DeleteProcThreadAttributeList(si.lpAttributeList);
        CloseAll({&childIn, &childOut, &childErr});
        if (!started) {
            CloseAll({&in_, &out_});
            return false;
        }
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        exitCode_ = STILL_ACTIVE;

        std::vector<std::string> w = Words(Command("hello", helloTimeoutMs));
        if (w.size() != 4 || w[0] != "ok") {
            Quit();
            return false;
        }
        pid_ = static_cast<DWORD>(std::strtoul(w[1].c_str(), nullptr, 10));
        main_ = ParseHwnd(w[2]);
        uiThread_ = static_cast<DWORD>(std::strtoul(w[3].c_str(), nullptr, 10));
        return true;
    }

    // Sends one command line and returns the reply line, or "" when none came in time.
    std::string Command(const std::string& line, DWORD timeoutMs = 5000) {
        if (!in_) return {};
        DiscardStaleLines();
        std::string data = line + "\n";
        DWORD written = 0;
        if (!WriteFile(in_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
            written != data.size())
            return {};
        std::string reply;
        return ReadLine(reply, timeoutMs) ? reply : std::string();
    }

    // `open <label> <kindAndArgs>`; returns the labelled window (the deepest one for `nested`).
    HWND Open(const std::string& label, const std::string& kindAndArgs, DWORD* threadId = nullptr) {
        std::vector<std::string> w = Words(Command("open " + label + " " + kindAndArgs));
        ancestors_.clear();
        if (w.size() < 3 || w[0] != "ok") return nullptr;
        HWND hwnd = ParseHwnd(w[1]);
        if (threadId) *threadId = static_cast<DWORD>(std::strtoul(w[2].c_str(), nullptr, 10));
        for (size_t i = 3; i < w.size(); ++i) ancestors_.push_back(ParseHwnd(w[i]));
        labels_[label] = hwnd;
        return hwnd;
    }

    // Ancestors reported by the last Open of a `nested` window: parent first, root last.
    const std::vector<HWND>& LastAncestors() const { return ancestors_; }

    bool Close(const std::string& label) {
        labels_.erase(label);
        return Command("close " + label) == "ok";
    }

    // Brings a window (or "main") to the front; true when it then is the foreground window.
    bool Front(const std::string& label) {
        HWND expected = label == "main" ? main_ : nullptr;
        auto it = labels_.find(label);
        if (it != labels_.end()) expected = GetAncestor(it->second, GA_ROOT);
        std::vector<std::string> w = Words(Command("front " + label));
        if (w.size() != 2 || w[0] != "ok") return false;
        lastForeground_ = ParseHwnd(w[1]);
        return expected && lastForeground_ == expected;
    }

    // The foreground window that the host saw after the last Front.
    HWND LastForeground() const { return lastForeground_; }

    // Ends the host's input; the host then exits on its own.
    void CloseInput() { CloseAll({&in_}); }

    DWORD Pid() const { return pid_; }
    HWND MainWindow() const { return main_; }
    DWORD UiThread() const { return uiThread_; }
    HANDLE Process() const { return process_; }
    // The exit code once the host has ended (after Quit), STILL_ACTIVE before.
    DWORD ExitCode() const { return exitCode_; }

    void Quit() {
        if (!process_) {
            CloseAll({&in_, &out_});
            return;
        }
        if (in_) {
            static const char quit[] = "quit\n";
            DWORD written = 0;
            WriteFile(in_, quit, sizeof quit - 1, &written, nullptr);
        }
        if (WaitForSingleObject(process_, 3000) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 255);
            WaitForSingleObject(process_, 3000);
        }
        GetExitCodeProcess(process_, &exitCode_);
        CloseAll({&in_, &out_, &process_});
        buffer_.clear();
        labels_.clear();
        pid_ = 0;
        main_ = nullptr;
        uiThread_ = 0;
    }

    static HWND ParseHwnd(const std::string& hex) {
        return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(hex.c_str(), nullptr, 16)));
    }

    static std::vector<std::string> Words(const std::string& text) {
        std::vector<std::string> out;
        size_t pos = 0;
        while ((pos = text.find_first_not_of(' ', pos)) != std::string::npos) {
            size_t end = text.find(' ', pos);
            out.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
            pos = end;
        }
        return out;
    }

    // A Linux path given to a Windows program under Wine (as CTest does) is mapped to drive Z:.
    static std::wstring Wide(const std::string& utf8) {
        int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
        std::wstring out(n > 0 ? n - 1 : 0, L'\0');
        if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
        return out;
    }

    static std::string NativePath(const std::string& path) {
        if (path.empty() || path[0] != '/' || GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return path;
        std::string mapped = "Z:" + path;
        for (char& c : mapped)
            if (c == '/') c = '\\';
        return GetFileAttributesA(mapped.c_str()) != INVALID_FILE_ATTRIBUTES ? mapped : path;
    }

private:
    static void CloseAll(std::initializer_list<HANDLE*> handles) {
        for (HANDLE* h : handles) {
            if (*h && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
            *h = nullptr;
        }
    }

    // Pulls whatever the pipe holds right now into the buffer; false when the pipe is broken.
    bool Fill() {
        DWORD avail = 0;
        if (!out_ || !PeekNamedPipe(out_, nullptr, 0, nullptr, &avail, nullptr)) return false;
        while (avail > 0) {
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(out_, chunk, avail < sizeof chunk ? avail : sizeof chunk, &got, nullptr) || got == 0)
                return false;
            buffer_.append(chunk, got);
            avail -= got;
        }
        return true;
    }

    // A reply that arrived after its command timed out must not be taken for the next reply.
    void DiscardStaleLines() {
        Fill();
        size_t nl = buffer_.rfind('\n');
        if (nl == std::string::npos) return;
        std::fprintf(stderr, "HostProcess: discarding late reply: %s\n", buffer_.substr(0, nl).c_str());
        buffer_.erase(0, nl + 1);
    }

    bool ReadLine(std::string& line, DWORD timeoutMs) {
        DWORD start = GetTickCount();
        for (;;) {
            size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            if (!Fill()) return false;
            if (buffer_.find('\n') != std::string::npos) continue;
            if (GetTickCount() - start >= timeoutMs) return false;
            Sleep(1);
        }
    }

    HANDLE process_ = nullptr;
    HANDLE in_ = nullptr;   // our end of the host's stdin
    HANDLE out_ = nullptr;  // our end of the host's stdout
    std::string buffer_;
    DWORD pid_ = 0;
    HWND main_ = nullptr;
    DWORD uiThread_ = 0;
    DWORD exitCode_ = STILL_ACTIVE;
    HWND lastForeground_ = nullptr;
    std::vector<HWND> ancestors_;
    std::map<std::string, HWND> labels_;
};
