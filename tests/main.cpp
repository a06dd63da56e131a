/*
** The test program's entry.  Every test runs inside a network namespace of
** its own (made here, before any thread starts), with loopback up and
** multicast routed over it, so that the discovery of a started server, the
** fake players and the SSDP peers never send a datagram into the machine's
** network.  A mount namespace of its own, private from the root down, goes
** with it: the small memory disks of the full-disk tests vanish with the
** test program, however it ends.  Making the namespaces needs root (as CI
** runs); without it the tests do not run at all rather than run outside.
**
** Standard input is /dev/null to the tests: the headless front end reads
** button presses from it.
*/
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/mount.h>

int main(int argc, char **argv)
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        system("ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo") != 0) {
        fprintf(stderr, "The tests need network and mount namespaces of their own: run them as root.\n");
        return 1;
    }
    if (!freopen("/dev/null", "r", stdin)) return 1;
    /* A press written to a program that has ended is a failed write. */
    signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
