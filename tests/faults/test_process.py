"""The daemon among other processes: what the commands it runs inherit, a message-bus server
that stops answering, a configuration kept behind a symbolic link."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import Client, Daemon, wait_for
from sight import RedisServer, Subscriber

# Stands in front of the mrvac stand-in and lists the descriptors it was started with.
FD_LISTER = """#!/bin/sh
find "/proc/$$/fd" -mindepth 1 -fprintf "$MRVDC_SYSROOT/mrvac.fds" '%f %l\\n'
exec "$REAL_MRVAC" "$@"
"""
NO_INPUT = ("MRVDC.VIDEO.DONE", '{ "MRVDC": {"message": "No input video signal", "code": 1 }}')


class Process(unittest.TestCase):
    def test_commands_run_by_the_daemon_inherit_only_the_standard_descriptors(self):
        with tempfile.TemporaryDirectory() as folder:
            lister = os.path.join(folder, "mrvac")
            with open(lister, "w") as script:
                script.write(FD_LISTER)
            os.chmod(lister, 0o755)
            env = {"PATH": f"{folder}:{os.environ['PATH']}", "REAL_MRVAC": shutil.which("mrvac")}
            with Daemon(env=env) as d, Client(d.socket_path):
                self.assertEqual(d.request("c:enable_record:s:1"), "r:enable_record:n:")
                self.assertTrue(wait_for(lambda: os.listdir(d.path("/media/video"))))
                self.assertEqual(d.request("c:kbd_nuc:n:"), "r:kbd_nuc:n:")
                self.assertEqual(d.request("c:enable_record:s:0"), "r:enable_record:n:")
                with open(d.path("/mrvac.fds")) as listing:
                    fds = dict(line.split() for line in listing)
        # The shell keeps its script open.
        inherited = {fd: to for fd, to in fds.items() if int(fd) > 2 and to != lister}
        self.assertEqual(inherited, {})

    def test_a_bus_that_stops_answering_holds_the_daemon_up_briefly(self):
        d = Daemon()
        redis = RedisServer(d.path("/run/redis.sock"))
        try:
            d.start()
            listener = Subscriber(redis.socket_path, NO_INPUT[0])
            self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
            redis.proc.send_signal(signal.SIGSTOP)
            try:
                self.assertEqual(d.request("c:kill_pipe:s:1"), "r:kill_pipe:n:")
                self.assertTrue(wait_for(lambda: "showing no video indication" in d.log()))
                start = time.monotonic()
                with Client(d.socket_path, timeout=3) as client:
                    self.assertEqual(client.request("c:get_lum:n:"), "r:get_lum:s:0")
                self.assertLess(time.monotonic() - start, 1.5)
                self.assertIn("[WARN]: Redis publish failed", d.log())
            finally:
                redis.proc.send_signal(signal.SIGCONT)
            listener.messages(1)  # whatever the server makes of the abandoned request
            # The next event connects again.
            self.assertEqual(d.request("c:kill_pipe:s:6"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: d.request("c:create_pipe:s:1") == "r:create_pipe:n:"))
            self.assertEqual(d.request("c:kill_pipe:s:1"), "r:kill_pipe:n:")
            self.assertEqual(listener.messages(5), [NO_INPUT])
        finally:
            d.cleanup()
            redis.stop()

    def test_write_back_replaces_the_linked_file_and_keeps_the_link(self):
        d = Daemon()
        link, data = d.path("/etc/mrvdc.conf"), d.path("/data")
        target = os.path.join(data, "mrvdc.conf")
        os.mkdir(data)
        shutil.move(link, target)
        os.symlink("../data/mrvdc.conf", link)

        def set_lum(value):
            self.assertEqual(d.request(f"c:set_lum:s:{value}"), "r:set_lum:n:")
            d.request("c:get_lum:n:")  # served after the write that followed the change
            self.assertTrue(os.path.islink(link))
            with open(target) as conf:
                text = conf.read()
            self.assertIn(f"\nluminance={value}\n", text)
            return text

        try:
            d.start()
            text = set_lum(1)
            # A data folder that takes no new file: the file is overwritten where it is.
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=2", "tmpfs", data],
                           check=True)
            with open(target, "w") as conf:
                conf.write(text)
            set_lum(2)
            self.assertIn("writing it in place", d.log())
        finally:
            d.kill()
            subprocess.run(["umount", data], stderr=subprocess.DEVNULL)
            d.cleanup()


if __name__ == "__main__":
    unittest.main()
