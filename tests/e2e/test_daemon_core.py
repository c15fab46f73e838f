"""The daemon's options, start-up sequence, logger and loop, on the real binary."""
import os
import signal

import pytest

from conftest import argv_of, drop, wait_for
from intake_common import signed_ipk

VERSION = "kvupdaterd, 718233.004, Ver:3.8, Build:Nov 19 2024 09:24:20"
PASS_SECONDS = 2  # the loop's sleep after the work of each pass


def test_version_help_and_usage_are_the_option_parsers(sandbox, run_daemon):
    d = run_daemon(sandbox, "--version")
    assert d.wait_exit() == 0
    assert d.stdout_lines == [VERSION]

    d = run_daemon(sandbox, "--help")
    assert d.wait_exit() == 0
    out = "\n".join(d.stdout_lines)
    assert "--verbose <0=no logging, 1=basic, 2=debug and 3=pedantic>" in d.stdout_lines[1]
    assert ("\nWe are monitoring /opt/kv2/swfw for new .CRY and .IPK files.\n"
            "if /opt/kv2/swfw is NOT found, we will monitor /home/root for new files.\n") in out
    for option, text in [("-v, --verbose=LEVEL", "print verbose outputs level 1-4 "),
                         ("-l, --log-to-stdout", "also send syslog to console  "),
                         ("-s, --simulate", "enter simulation mode, nothing is installed ")]:
        line = next(x for x in d.stdout_lines if option in x)
        assert line.endswith(text), line

    d = run_daemon(sandbox, "--usage")
    assert d.wait_exit() == 0
    assert "[-ls?V] [-v LEVEL]" in d.stdout_lines[0]
    assert d.stdout_lines[-1].strip() == "--verbose <0=no logging, 1=basic, 2=debug and 3=pedantic>"
    assert d.syslog == []


def test_non_option_argument_is_a_usage_error_before_anything_else(sandbox, run_daemon):
    os.rmdir(sandbox.dev("/home/root/bundle"))
    open(sandbox.dev("/home/root/status"), "w").close()
    d = run_daemon(sandbox, "-v", "3", "extra")
    assert d.wait_exit() == 64
    assert d.stderr_text().startswith("kvupdaterd: Too many arguments\n")
    assert d.stdout_lines == []
    assert d.syslog == []
    # Start-up never ran: the saved state is still there, no bundle folder was made.
    assert os.path.exists(sandbox.dev("/home/root/status"))
    assert not os.path.exists(sandbox.dev("/home/root/bundle"))


def test_verbose_two_with_echo_prints_settings_and_logs_start_up(sandbox, run_daemon):
    open(sandbox.dev("/home/root/status"), "w").close()
    os.mkdir(sandbox.dev("/home/root/app-data"))
    os.rmdir(sandbox.dev("/home/root/bundle"))
    d = run_daemon(sandbox, "-v", "2", "-l")
    watch = sandbox.dev("/opt/kv2/swfw/")
    looking = f"Main,  looking for changes in {watch} .....\n"
    d.wait_syslog("looking for changes")
    d.wait_stdout("looking for changes")
    banner = f"{d.daemon}, 718233.004, Ver:3.8 - started by User {os.getuid()}\n"
    # Option parse's empty line, the two settings, then echoed lines each with one
    # more newline (a message ending in a newline shows an empty line after it).
    assert d.stdout_lines[:5] == ["", "Verbose output level 2", "Log output to stdout 1",
                                  banner.rstrip("\n"), ""]
    assert d.stdout_lines[-2:] == [looking.rstrip("\n"), ""]
    texts = d.syslog_texts()
    assert texts[0] == banner and texts[-1] == looking
    assert all(ident == "kvupdaterd" for _, ident, _ in d.syslog)
    priorities = {text: prio for prio, _, text in d.syslog}
    assert priorities[banner] == 5 and priorities[looking] == 5
    # Saved state removed (the empty folder with it), bundle folder created.
    assert not os.path.exists(sandbox.dev("/home/root/status"))
    assert os.path.isdir(sandbox.dev("/home/root/bundle"))
    assert d.alive()


def test_level_filter_applies_to_echo_and_system_log(sandbox, run_daemon):
    d = run_daemon(sandbox, "-l")  # verbose level 0: level-1 lines are dropped
    assert d.wait_stdout("^Log output to stdout 1$")
    d2 = run_daemon(sandbox, "-v", "1", "-l", "-s")
    d2.wait_syslog("looking for changes")
    assert "Main, simulation mode is selected, nothing will be installed" in d2.syslog_texts()
    assert "Main, simulation mode is selected, nothing will be installed" in d2.stdout_lines
    # The first daemon had the same start-up but emitted none of its level-1 lines.
    assert d.alive()
    assert d.syslog == []
    assert not any("looking for changes" in line for line in d.stdout_lines)


def test_loop_runs_until_killed_and_runs_no_device_program_when_idle(sandbox, run_daemon):
    d = run_daemon(sandbox, "-v", "3")
    d.wait_syslog("looking for changes")
    after_start_up = sandbox.journal()
    # Nothing to act on: passes sleep and poll; no further device program is
    # called. The loop has no way out but a signal.
    d.proc.send_signal(signal.SIGTERM)
    assert d.wait_exit() == -signal.SIGTERM
    assert sandbox.journal() == after_start_up
    assert ["systemctl"] not in [call[:1] for call in after_start_up]


# --- supervision by systemd (Type=notify, watchdog) --------------------------
# The sandbox serves the notification socket on the socket of /dev/log, so
# d.notifications records, for each message, how many log lines the daemon
# sent before it.

def test_ready_comes_before_recovery_and_idle_passes_ping_the_watchdog(sandbox, run_daemon):
    d = run_daemon(sandbox, "-v", "3", notify=True, env={"WATCHDOG_USEC": "600000000"})
    lines_before, pid, _ = d.wait_notify("^READY=1$")
    for _ in range(3):
        d.wait_notify("^WATCHDOG=1$", start=len(d.notifications))
    texts = d.syslog_texts()
    looking = f"Main,  looking for changes in {sandbox.dev('/opt/kv2/swfw/')} .....\n"
    # Readiness comes once the daemon's own set-up is done and before the
    # recovery, the commit and the clean-up, which may ask the service
    # manager for units that wait on the daemon's start.
    assert texts[lines_before] == "notify_Ready, start-up finished, watchdog interval 600000000 us\n"
    assert texts.index(looking) > lines_before
    assert not [t for t in texts[:lines_before] if t.startswith(("road_", "doInstall_MenderCommit", "scandir_Delete"))]
    # Readiness once and first; then only pings, all from the daemon's own process.
    messages = [text for _, _, text in d.notifications]
    assert messages[0] == "READY=1" and set(messages[1:]) == {"WATCHDOG=1"}
    assert {sender for _, sender, _ in d.notifications} == {pid} == {d.proc.pid}


def test_a_pass_that_hangs_stops_the_pings_until_it_ends(sandbox, run_daemon, tmp_path):
    # The platform's application is installed with the splash screen; its
    # message hangs until the test lets it go.
    ipk = signed_ipk(str(tmp_path), sandbox, "kv2-touch")
    sandbox.steer("psplash-write", hold=True)
    d = run_daemon(sandbox, "-v", "3", notify=True)
    d.wait_notify("^READY=1$")
    d.wait_notify("^WATCHDOG=1$")
    drop(sandbox, ipk)
    wait_for(lambda: [c for c in sandbox.journal() if c[0] == "psplash-write"], 30, "splash message")
    started = d.wait_syslog(r"^doInstall_execStartAppInstall, App start install \(platf\)kv2-touch \n$")
    last_line = d.syslog.index(started)
    # Notifications sent before that line are all in: the socket keeps their order.
    after = sum(1 for lines_before, _, _ in d.notifications if lines_before <= last_line)

    # The loop is stuck: no ping for several pass periods.
    with pytest.raises(TimeoutError):
        d.wait_notify("^WATCHDOG=1$", timeout=3 * PASS_SECONDS, start=after)
    assert d.alive()

    sandbox.release("psplash-write")
    first = d.wait_notify("^WATCHDOG=1$", start=after)
    d.wait_notify("^WATCHDOG=1$", start=d.notifications.index(first) + 1)
    assert [text for _, _, text in d.notifications[after:]] == ["WATCHDOG=1"] * (len(d.notifications) - after)


def test_the_installer_unit_start_is_watched_and_has_a_deadline(sandbox, run_daemon, tmp_path):
    # The unit's start has a deadline of its own: the watchdog is fed while
    # it waits, and at the deadline the wait ends with one line, the unit's
    # job left to the service manager and its package left to it.
    ipk = signed_ipk(str(tmp_path), sandbox, "kvtools")
    sandbox.steer("systemctl", subcommand="start", hold=True)
    d = run_daemon(sandbox, "-v", "3", notify=True, env={"KVUPDATER_INSTALL_DEADLINE": "12"})
    d.wait_notify("^READY=1$")
    drop(sandbox, ipk)
    started = d.wait_syslog(r'^doInstall_silentInstall Start Package Install silently- : '
                            r'systemctl start "install@kvtools"\n$', timeout=30)
    after = sum(1 for lines_before, _, _ in d.notifications if lines_before <= d.syslog.index(started))
    first = d.wait_notify("^WATCHDOG=1$", start=after, timeout=20)
    d.wait_notify("^WATCHDOG=1$", start=d.notifications.index(first) + 1, timeout=20)
    ended = d.wait_syslog(r"^doInstall_silentInstall, installer unit install@kvtools still running after 12 seconds, "
                          r"left to the service manager\n$", timeout=60)
    assert ended[0] == 3
    assert os.path.exists(sandbox.dev("/home/root/kvtools.ipk"))
    sandbox.release("systemctl", subcommand="start")
