/* Starts a program and waits for its first top-level window to become
 * viewable, as the X server reports it: MapNotify on the root window (no
 * window manager runs, so top-level windows are the root's children).
 * Then lets the program idle and reads its resident set.
 *
 *   startup_probe SETTLE_MS TIMEOUT_MS PROGRAM [ARG...]
 *
 * Prints: startup_us=N rss_kib=N window="NAME"
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static long rss_kib(pid_t pid)
{
    char path[64], line[256];
    long kib = -1;
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *status = fopen(path, "r");
    if (!status)
        return -1;
    while (fgets(line, sizeof line, status)) {
        if (strncmp(line, "VmRSS:", 6) == 0) {
            kib = strtol(line + 6, NULL, 10);
            break;
        }
    }
    fclose(status);
    return kib;
}

static void stop(pid_t pid)
{
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, NULL, WNOHANG) == pid)
            return;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
}

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s SETTLE_MS TIMEOUT_MS PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    const long settle_ms = strtol(argv[1], NULL, 10);
    const long long timeout_us = strtoll(argv[2], NULL, 10) * 1000;

    Display *dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "startup_probe: cannot open display\n");
        return 2;
    }
    const Window root = DefaultRootWindow(dpy);
    XSelectInput(dpy, root, SubstructureNotifyMask);
    XSync(dpy, False);

    const long long start = now_us();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        close(ConnectionNumber(dpy));
        execvp(argv[3], argv + 3);
        perror("exec");
        _exit(127);
    }

    Window found = 0;
    long long mapped = 0;
    struct pollfd fd = {ConnectionNumber(dpy), POLLIN, 0};
    while (!found) {
        while (XPending(dpy)) {
            XEvent event;
            XNextEvent(dpy, &event);
            if (event.type != MapNotify || event.xmap.event != root || event.xmap.override_redirect)
                continue;
            XWindowAttributes attributes;
            if (XGetWindowAttributes(dpy, event.xmap.window, &attributes) && attributes.map_state == IsViewable) {
                mapped = now_us();
                found = event.xmap.window;
                break;
            }
        }
        if (found)
            break;
        if (waitpid(pid, NULL, WNOHANG) == pid) {
            fprintf(stderr, "startup_probe: %s exited before showing a window\n", argv[3]);
            return 1;
        }
        if (now_us() - start > timeout_us) {
            fprintf(stderr, "startup_probe: no window from %s within the time limit\n", argv[3]);
            stop(pid);
            return 1;
        }
        poll(&fd, 1, 1);
    }

    char *name = NULL;
    XFetchName(dpy, found, &name);
    usleep((useconds_t)settle_ms * 1000);
    const long rss = rss_kib(pid);
    printf("startup_us=%lld rss_kib=%ld window=\"%s\"\n", mapped - start, rss, name ? name : "");
    fflush(stdout);
    if (name)
        XFree(name);
    stop(pid);
    XCloseDisplay(dpy);
    return 0;
}
