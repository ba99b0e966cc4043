// startup: how long the real ifdiag takes to show its main window, and how much
// memory it holds, measured from outside the program.
//
// ifdiag runs on a private Xvfb display with Qt's xcb platform, as on a desktop
// (offscreen has no window anyone outside the process could see). This program
// watches the display's root window for MapNotify: the moment the X server puts
// the main window on the screen is the moment the user sees it. Nothing in
// ifdiag is changed or told that it is being measured.
//
// Then it opens the test dialog as a user does, with the keyboard (Alt+P, then
// S, typed by xdotool), waits until the simulated box sees the poll cycle
// running, and reads the resident memory from /proc while the dialog polls.
// Every run gets a fresh box, so no run inherits a port state from the last.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "sim/ifbox_sim.h"

// After everything else: Xlib defines macros such as None and Status.
#include <X11/Xlib.h>

extern char **environ;

namespace {

struct Options {
    int runs = 10;
    double poll_s = 2.0;
    std::string ifdiag = IFDIAG_PATH;
    // Qt wants one and says so on every start when there is none.
    std::string runtime_dir;
};

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs argv with the current environment plus `extra` ("NAME=value").
pid_t Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &extra,
            posix_spawn_file_actions_t *actions = nullptr) {
    std::vector<std::string> env = extra;
    for (char **e = environ; *e != nullptr; ++e) {
        const char *eq = strchr(*e, '=');
        const size_t name = eq ? size_t(eq - *e) + 1 : strlen(*e);
        bool replaced = false;
        for (const std::string &x : extra)
            replaced = replaced || x.compare(0, name, *e, name) == 0;
        if (!replaced)
            env.push_back(*e);
    }
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], actions, nullptr, args.data(), envp.data()) != 0)
        return -1;
    return pid;
}

bool Run(const std::vector<std::string> &argv, const std::string &display) {
    const pid_t pid = Spawn(argv, {"DISPLAY=" + display});
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void End(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

// Starts Xvfb on the first free display; returns its pid and name.
pid_t StartXvfb(std::string *display) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    const pid_t pid = Spawn(
        {"Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"},
        {}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char buf[32] = {};
    size_t got = 0;
    pollfd pfd{fds[0], POLLIN, 0};
    while (got < sizeof buf - 1 && poll(&pfd, 1, 10000) > 0) {
        const ssize_t n = read(fds[0], buf + got, sizeof buf - 1 - got);
        if (n <= 0 || memchr(buf, '\n', got + size_t(n)) != nullptr) {
            got += n > 0 ? size_t(n) : 0;
            break;
        }
        got += size_t(n);
    }
    close(fds[0]);
    if (pid <= 0 || got == 0 || strchr(buf, '\n') == nullptr) {
        End(pid);
        return -1;
    }
    *display = ":" + std::string(buf, strcspn(buf, "\n"));
    return pid;
}

// Waits for the next map of a window on the root: a top-level window when
// `popup` is false, a menu (override-redirect) when it is true.
bool WaitMap(Display *x, bool popup, int64_t deadline_ns, Window *window, int64_t *at_ns) {
    for (;;) {
        while (XPending(x) > 0) {
            XEvent ev;
            XNextEvent(x, &ev);
            if (ev.type == MapNotify && bool(ev.xmap.override_redirect) == popup) {
                *at_ns = NowNs();
                *window = ev.xmap.window;
                return true;
            }
        }
        const int64_t left = (deadline_ns - NowNs()) / 1000000;
        if (left <= 0)
            return false;
        pollfd pfd{ConnectionNumber(x), POLLIN, 0};
        poll(&pfd, 1, int(std::min<int64_t>(left, 100)));
    }
}

// Keys go to the window that has the input focus; wait until that is ours.
bool WaitFocus(Display *x, Window window, int64_t deadline_ns) {
    while (NowNs() < deadline_ns) {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(x, &focus, &revert);
        // The focus may sit on a child of the frame Qt created.
        for (Window w = focus; w != 0 && w != DefaultRootWindow(x);) {
            if (w == window)
                return true;
            Window root = 0, parent = 0, *children = nullptr;
            unsigned n = 0;
            if (!XQueryTree(x, w, &root, &parent, &children, &n))
                break;
            if (children != nullptr)
                XFree(children);
            w = parent;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

long StatusKb(pid_t pid, const char *field) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kb = -1;
    const size_t len = strlen(field);
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, field, len) == 0 && line[len] == ':')
            kb = strtol(line + len + 1, nullptr, 10);
    fclose(f);
    return kb;
}

struct Sample {
    double startup_ms = -1;
    double rss_main_mb = -1;
    double rss_dialog_mb = -1;
    double hwm_mb = -1;
    size_t requests = 0;
};

bool OneRun(const Options &o, Display *x, const std::string &display, int run, Sample *s) {
    sim::Config cfg;
    cfg.link =
        std::string("/tmp/ifdiag-startup-") + std::to_string(getpid()) + "-" + std::to_string(run);
    cfg.pacing = true;
    sim::Box *box = sim::Start(cfg);
    if (box == nullptr)
        return false;

    XSync(x, True); // forget the maps of earlier runs
    const int64_t t0 = NowNs();
    std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb",
                                    "IFDIAG_PORT=" + cfg.link};
    if (!o.runtime_dir.empty())
        env.push_back("XDG_RUNTIME_DIR=" + o.runtime_dir);
    const pid_t pid = Spawn({o.ifdiag}, env);
    bool ok = pid > 0;
    Window main = 0, menu = 0, dialog = 0;
    int64_t shown = 0, at = 0;
    ok = ok && WaitMap(x, false, t0 + 10000000000LL, &main, &shown);
    if (ok) {
        s->startup_ms = double(shown - t0) / 1e6;
        // Resident memory once the window has settled (painted, idle).
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        s->rss_main_mb = double(StatusKb(pid, "VmRSS")) / 1024.0;
    }
    // The menu "Programm" (Alt+P), then its item "Start" (S) opens the dialog.
    ok = ok && WaitFocus(x, main, NowNs() + 5000000000LL);
    ok = ok && Run({"xdotool", "key", "alt+p"}, display);
    ok = ok && WaitMap(x, true, NowNs() + 5000000000LL, &menu, &at);
    ok = ok && Run({"xdotool", "key", "s"}, display);
    ok = ok && WaitMap(x, false, NowNs() + 5000000000LL, &dialog, &at);
    if (ok) {
        // Polling: the box must see requests coming in steadily.
        const int64_t until = NowNs() + int64_t(o.poll_s * 1e9);
        while (NowNs() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        s->requests = sim::RequestCount(box);
        s->rss_dialog_mb = double(StatusKb(pid, "VmRSS")) / 1024.0;
        s->hwm_mb = double(StatusKb(pid, "VmHWM")) / 1024.0;
        // Close the dialog as the user does, so the port is handed back.
        Run({"xdotool", "key", "Escape"}, display);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    End(pid);
    sim::Stop(box);
    return ok;
}

double Median(std::vector<double> v) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Max(const std::vector<double> &v) {
    return v.empty() ? -1 : *std::max_element(v.begin(), v.end());
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            o.runs = std::max(1, atoi(argv[++i]));
        else if (a == "--poll-seconds" && i + 1 < argc)
            o.poll_s = std::max(0.1, atof(argv[++i]));
        else if (a == "--ifdiag" && i + 1 < argc)
            o.ifdiag = argv[++i];
        else {
            fprintf(stderr,
                    "usage: startup [--runs N] [--poll-seconds S] [--ifdiag PATH]\n"
                    "  --runs N          launches of ifdiag (10)\n"
                    "  --poll-seconds S  time the dialog polls before its memory is read (2)\n"
                    "  --ifdiag PATH     the program to measure (the one built with this)\n");
            return 2;
        }
    }

    const char *runtime = getenv("XDG_RUNTIME_DIR");
    char runtime_dir[] = "/tmp/ifdiag-startup-XXXXXX";
    if ((runtime == nullptr || *runtime == '\0') && mkdtemp(runtime_dir) != nullptr)
        o.runtime_dir = runtime_dir;

    std::string display;
    const pid_t xvfb = StartXvfb(&display);
    if (xvfb <= 0) {
        fprintf(stderr, "startup: cannot start Xvfb\n");
        return 1;
    }
    Display *x = XOpenDisplay(display.c_str());
    if (x == nullptr) {
        fprintf(stderr, "startup: cannot open display %s\n", display.c_str());
        End(xvfb);
        return 1;
    }
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
    XSync(x, False);

    std::vector<double> startup, rss_main, rss_dialog, hwm;
    int failed = 0;
    for (int run = 0; run < o.runs; ++run) {
        Sample s;
        if (!OneRun(o, x, display, run, &s) || s.requests < 10) {
            ++failed;
            fprintf(stderr, "startup: run %d did not complete (%zu requests seen)\n", run + 1,
                    s.requests);
        }
        if (s.startup_ms >= 0)
            startup.push_back(s.startup_ms);
        if (s.rss_main_mb >= 0)
            rss_main.push_back(s.rss_main_mb);
        if (s.rss_dialog_mb >= 0) {
            rss_dialog.push_back(s.rss_dialog_mb);
            hwm.push_back(s.hwm_mb);
        }
        printf("  run %2d: main window after %7.1f ms; RSS %.1f MB, with the dialog polling "
               "%.1f MB (peak %.1f MB, %zu requests)\n",
               run + 1, s.startup_ms, s.rss_main_mb, s.rss_dialog_mb, s.hwm_mb, s.requests);
    }
    XCloseDisplay(x);
    End(xvfb);
    if (!o.runtime_dir.empty())
        rmdir(o.runtime_dir.c_str());

    printf("startup: %s on Xvfb (xcb), %d runs\n", o.ifdiag.c_str(), o.runs);
    printf("  %-40s %9s %9s %9s\n", "", "first", "median", "max");
    printf("  %-40s %9.1f %9.1f %9.1f  ms\n", "launch to main window mapped",
           startup.empty() ? -1 : startup.front(), Median(startup), Max(startup));
    printf("  %-40s %9.1f %9.1f %9.1f  MB\n", "resident, main window",
           rss_main.empty() ? -1 : rss_main.front(), Median(rss_main), Max(rss_main));
    printf("  %-40s %9.1f %9.1f %9.1f  MB\n", "resident, dialog open and polling",
           rss_dialog.empty() ? -1 : rss_dialog.front(), Median(rss_dialog), Max(rss_dialog));
    printf("  %-40s %9.1f %9.1f %9.1f  MB\n", "peak resident (VmHWM)",
           hwm.empty() ? -1 : hwm.front(), Median(hwm), Max(hwm));
    printf("startup_ms=%.1f startup_max_ms=%.1f rss_main_mb=%.1f rss_dialog_mb=%.1f "
           "rss_dialog_max_mb=%.1f failed_runs=%d\n",
           Median(startup), Max(startup), Median(rss_main), Median(rss_dialog), Max(rss_dialog),
           failed);
    return failed == 0 ? 0 : 1;
}
