"""The daemon's spine over its real socket: protocol exchanges, connection handling,
command line, daemonising and the stop sequence."""
import os
import shutil
import signal
import socket
import subprocess
import time
import unittest

from harness import Client, Daemon, make_sysroot, wait_for

HELP_HEAD = (
    "Mirova Device controller ver:3.0.0, date:2023-10-16 11:33:03, git:a631f0b, "
    "type:release, build:clean\n"
    "Usage: mrvdc [OPTIONS]\n"
    "\n"
    "  Options:\n"
    "   -h --help                 Print this help\n"
    "   -c --conf_file filename   Read configuration from the file\n"
    "   -l --log_file  filename   Write logs to the file\n"
    "   -d --daemon               Daemonize this application\n"
    "   -p --pid_file  filename   PID file used by daemonized app\n"
    "   -v --verbose              Enable debug level log messages\n"
    "   -f --profile              Enable the video profiler elements\n"
    "\n"
    "  Client commands:\n"
)
LEGEND = (
    "\n"
    "  Client Commands Legend:\n"
    "   @ - the command updates the corresponding option in the config file\n"
    "   ! - the argument is sourced from the configuration file\n"
    "   * - the command affects the current overlay\n"
    "   % - the command affects the current overlay until, disable_kbd command is received\n"
)


class Exchanges(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.cleanup()

    def test_worked_exchanges(self):
        d = self.daemon
        self.assertEqual(d.request("c:do_it:s:"), "e:do_it:s:Unknown command")
        self.assertEqual(d.request("x:get_zoom:n:"), "e:no_cmd:s:Failed to decode the command")
        self.assertEqual(d.request("c:get_mic_volume:n:"), "r:get_mic_volume:s:100")
        self.assertEqual(d.request("c:enable_video:s:1"), "e:enable_video:n:")
        config = d.request("c:print_config:n:")
        self.assertTrue(config.startswith("r:print_config:s:socket_file="))
        lines = config[len("r:print_config:s:"):].splitlines()
        self.assertEqual(len(lines), 34)
        self.assertEqual(lines[-1], "record_max_len=300")

    def test_requests_in_turn_on_one_connection_and_concurrent_clients(self):
        with Client(self.daemon.socket_path) as first, Client(self.daemon.socket_path) as second:
            self.assertEqual(first.request("c:get_lum:n:"), "r:get_lum:s:0")
            self.assertEqual(second.request("c:get_pip:n:"), "r:get_pip:s:0")
            self.assertEqual(first.request("c:get_enc_type:n:"), "r:get_enc_type:s:0")
            self.assertEqual(second.request("c:get_reticle:n:"), "r:get_reticle:s:1")

    def test_long_request_is_cut_and_the_rest_is_a_further_request(self):
        first = "c:get_lum:s:".ljust(2047, "x")
        rest = "c:get_pip:s:".ljust(3000 - 2048, "y")
        with Client(self.daemon.socket_path) as client:
            client.sock.sendall((first + "D" + rest).encode())
            replies = ""
            while replies.count(":") < 6:
                replies += client.sock.recv(4096).decode()
        self.assertEqual(replies, "r:get_lum:s:0r:get_pip:s:0")

    def test_silent_and_vanishing_clients(self):
        before = self.daemon.log()
        Client(self.daemon.socket_path).close()

        def vanish():
            # While the daemon runs a camera-core command for one client, another sends a
            # request and goes: its reply then finds nobody.
            with Client(self.daemon.socket_path) as busy:
                busy.request("c:get_lum:n:")
                client = Client(self.daemon.socket_path)
                client.request("c:get_lum:n:")
                busy.sock.sendall(b"c:kbd_nuc:n:")
                client.sock.sendall(b"c:print_config:n:")
                client.close()
                busy.sock.recv(100)
            return wait_for(lambda: "Failed to send data through client socket"
                            in self.daemon.log(), timeout=1)

        self.assertTrue(wait_for(vanish, timeout=20))
        self.assertEqual(self.daemon.request("c:get_lum:n:"), "r:get_lum:s:0")
        new = self.daemon.log()[len(before):]
        warnings = [line for line in new.splitlines() if "[WARN]" in line or "[ERROR]" in line]
        self.assertTrue(warnings)
        self.assertEqual(warnings, [l for l in warnings if "Failed to send data" in l])

    def test_full_table_turns_connections_away_and_keeps_serving(self):
        clients = []
        try:
            for _ in range(40):
                # The listen backlog is short: give the daemon time to accept each one.
                clients.append(wait_for(self._connect))
            # Each connection is accepted in turn; those beyond the table are closed at once.
            time.sleep(0.5)
            answered, refused = 0, 0
            for client in clients:
                try:
                    reply = client.request("c:get_lum:n:")
                except OSError:
                    reply = ""
                if reply == "r:get_lum:s:0":
                    answered += 1
                else:
                    refused += 1
            self.assertGreater(answered, 20)
            self.assertGreater(refused, 0)
            self.assertIn("too many clients", self.daemon.log())
        finally:
            for client in clients:
                client.close()
        self.assertTrue(wait_for(lambda: self._answers()))

    def _connect(self):
        try:
            return Client(self.daemon.socket_path, timeout=5)
        except BlockingIOError:
            return None

    def _answers(self):
        try:
            return self.daemon.request("c:get_lum:n:") == "r:get_lum:s:0"
        except OSError:
            return False


class ClientTool(unittest.TestCase):
    def test_mrvdcctl_prints_the_data_and_exits_with_the_reply_type(self):
        with Daemon() as d:
            ctl = lambda *args: subprocess.run(["mrvdcctl", "--socket", d.socket_path, *args],
                                               capture_output=True, text=True, timeout=30)
            config = ctl("print_config")
            self.assertEqual(config.returncode, 0)
            self.assertEqual(config.stdout, d.request("c:print_config:n:")[len("r:print_config:s:"):])
            self.assertEqual(len(config.stdout.splitlines()), 34)
            self.assertEqual((ctl("get_mic_volume").stdout, ctl("get_mic_volume").returncode),
                             ("100\n", 0))
            unknown = ctl("do_it", "1")
            self.assertEqual((unknown.stdout, unknown.returncode), ("Unknown command\n", 1))
            failed = ctl("enable_video", "1")
            self.assertEqual((failed.stdout, failed.returncode), ("", 1))
            self.assertEqual(ctl("--help").returncode, 0)
            self.assertIn("mrvdcctl [--socket PATH] [--timeout SECONDS] COMMAND [DATA]",
                          ctl("--help").stdout)
        gone = ctl("get_lum")
        self.assertEqual(gone.returncode, 2)
        self.assertIn("cannot connect to the daemon at " + d.socket_path, gone.stderr)


class CommandLine(unittest.TestCase):
    def run_mrvdc(self, *args):
        root = make_sysroot()
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        return subprocess.run(["mrvdc", *args], capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, MRVDC_SYSROOT=root))

    def test_help_text(self):
        result = self.run_mrvdc("-h")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith(HELP_HEAD), result.stdout[:800])
        self.assertTrue(result.stdout.endswith(LEGEND))
        commands = result.stdout[len(HELP_HEAD):-len(LEGEND)].splitlines()
        self.assertEqual(len(commands), 37)
        self.assertEqual(commands[0][:25], "   set_qml_prop         a")
        self.assertEqual(commands[36],
                         "   enable_http_stream   argc:1 enable/disable the http stream")
        self.assertEqual(self.run_mrvdc("--help").stdout, result.stdout)

    def test_unknown_options_print_the_help_and_fail(self):
        for option in ("--profile", "-x", "--video"):
            result = self.run_mrvdc(option)
            self.assertEqual(result.returncode, 1, option)
            self.assertTrue(result.stdout.startswith(HELP_HEAD), option)


class Lifecycle(unittest.TestCase):
    def test_stale_socket_file_and_sigterm_and_sigint(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            d = Daemon(args=("-f",))
            try:
                # A socket an earlier daemon left behind, which nothing serves.
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as stale:
                    stale.bind(d.socket_path)
                d.start()
                self.assertEqual(d.request("c:get_lum:n:"), "r:get_lum:s:0")
                self.assertEqual(d.stop(sig), 0)
                log = d.log()
                self.assertIn("[INFO]: stopping daemon ...", log)
                self.assertTrue(log.rstrip("\n").endswith("[INFO]: Goodbye"), log[-300:])
                self.assertTrue(os.path.exists(d.path("/var/run/video_playing")))
                self.assertNotIn("[DEBUG]", log)
            finally:
                d.cleanup()

    def test_log_file_option_and_pid_file_without_daemonising(self):
        d = Daemon()
        try:
            log_file = d.path("/var/log/mrvdc.log")
            pid_file = d.path("/run/mrvdc.pid")
            with open(pid_file, "w") as stale:
                stale.write("1\n")
            d.args = ["-v", "-l", log_file, "-p", pid_file]
            d.start()
            # Without -d no PID file is written, but one of that name goes at the stop.
            with open(pid_file) as pid:
                self.assertEqual(pid.read(), "1\n")
            self.assertEqual(d.stop(), 0)
            self.assertFalse(os.path.exists(pid_file))
            with open(log_file) as log:
                text = log.read()
            self.assertIn("[INFO]: ver:3.0.0, date:2023-10-16 11:33:03, git:a631f0b", text)
            self.assertIn("[DEBUG]: Registered fd:", text)
            self.assertIn("Configure func takes : ", text)
            self.assertNotIn("Goodbye", text)
            self.assertIn("[INFO]: Goodbye", d.log())
        finally:
            d.cleanup()

    def test_second_daemonised_instance_is_refused_by_the_pid_lock(self):
        root = make_sysroot()
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        env = dict(os.environ, MRVDC_SYSROOT=root)
        pid_file = os.path.join(root, "run", "mrvdc.pid")
        log_file = os.path.join(root, "var", "log", "mrvdc.log")
        first = subprocess.run(["mrvdc", "-d", "-p", pid_file, "-l", log_file], env=env,
                               timeout=30)
        self.assertEqual(first.returncode, 0)
        pid = int(wait_for(lambda: open(pid_file).read() if os.path.exists(pid_file) else ""))
        try:
            socket_path = os.path.join(root, "run", "mrvdc.socket")
            self.assertTrue(wait_for(lambda: os.path.exists(socket_path)))

            other = os.path.join(root, "etc", "other.conf")
            with open(other, "w") as conf:
                conf.write(f"socket_file={root}/run/other.socket\n")
            second = subprocess.run(["mrvdc", "-d", "-p", pid_file, "-c", other], env=env,
                                    timeout=30)
            self.assertEqual(second.returncode, 0)  # the first parent returns at once
            time.sleep(1)
            self.assertFalse(os.path.exists(os.path.join(root, "run", "other.socket")))
            with open(pid_file) as text:
                self.assertEqual(text.read(), f"{pid}\n")
            with Client(socket_path) as client:
                self.assertEqual(client.request("c:get_lum:n:"), "r:get_lum:s:0")
        finally:
            os.kill(pid, signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not os.path.exists(f"/proc/{pid}")))
        self.assertFalse(os.path.exists(pid_file))


if __name__ == "__main__":
    unittest.main()
