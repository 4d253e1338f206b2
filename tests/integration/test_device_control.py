"""Device control through the real daemon: overlay texts, camera-core command lines, panel
writes, buttons, the hand-over to a client and the settings written back."""
import os
import signal
import subprocess
import time
import unittest

from harness import Client, Daemon, wait_for
from sight import (EV_KEY, EV_SYN, HDMI_NODE, KEY_ENTER, KEY_NUC, KEY_POL, KEY_ZOOM, RedisServer,
                   Subscriber, icon, inject_mrvac_failure, input_record, key_records,
                   mrvac_record, open_buttons, overlay_record, panel_attribute, reticle_geometry,
                   snapshot_showing, take_snapshot)

RETICLE = "ReticleMenu.retProfParam:"
ZOOM_1 = [reticle_geometry(512, 384, 697, 569, 370, 370)]
STARTUP_OVERLAY = [
    reticle_geometry(512, 384, 697, 569, 370, 370),
    RETICLE + '{"SRC": "/opt/us/Reticles/StandardMilDot.svg"}',
    RETICLE + '{"STATE": 1}',
    RETICLE + '{"RD_STATE": 1}',
    RETICLE + '{"BRIGHT_VAL": "1.000000"}',
    RETICLE + '{"COLOR_HEX": "#000000"}',
    "FtrMenu.pipSt:0",
    icon("LUM", 0, spaced=False),
]


def zoom_commands(factor):
    return ["mrvac origin 435 355", f"mrvac zoom {factor}"]


def ended_commands(daemon):
    return daemon.log().count("[DEBUG]: System cmd ended with status")


def started(daemon, commands=1):
    """Waits until start-up has applied the device state: the panel and the `commands` camera
    core commands of start-up (the NUC mode, then PIP when it is on)."""
    assert wait_for(lambda: panel_attribute(daemon) != "", timeout=30), daemon.log()
    assert wait_for(lambda: ended_commands(daemon) >= commands), daemon.log()
    return daemon


class StartUp(unittest.TestCase):
    def test_defaults(self):
        with Daemon() as d:
            started(d)
            self.assertEqual(overlay_record(d).lines()[:8], STARTUP_OVERLAY)
            self.assertEqual(mrvac_record(d).lines(), ["mrvac shutter-movement 1"])
            self.assertEqual(panel_attribute(d), "75")

    def test_pip_mode_and_stored_settings(self):
        settings = {"pip_mode": 1, "reticle_source": 3, "reticle_color": 6, "red_dot": 0,
                    "reticle_opacity": 0.5, "luminance": 2, "nuc_type": 2,
                    "origin_x": 100, "origin_y": 50}
        with Daemon(settings) as d:
            started(d, commands=3)
            self.assertEqual(overlay_record(d).lines()[:10], [
                reticle_geometry(100, 50, 285, 235, 370, 370),
                RETICLE + '{"SRC": "/opt/us/Reticles/DR_1_Reticle.svg"}',
                RETICLE + '{"STATE": 1}',
                RETICLE + '{"RD_STATE": 0}',
                RETICLE + '{"BRIGHT_VAL": "0.500000"}',
                RETICLE + '{"COLOR_HEX": "#0089b6"}',
                "FtrMenu.pipSt:1",
                icon("LUM", 2, spaced=False),
                RETICLE + '{"Z_OFFSET_X": 0,"Z_OFFSET_Y": 0}',
                icon("PIP_ZOOM", 1),
            ])
            # (100 + 185) / 1.6 = 178.1, (50 + 185) / 1.6 = 146.9
            self.assertEqual(mrvac_record(d).lines(),
                             ["mrvac shutter-movement 0", "mrvac origin 178 146", "mrvac pip 2"])
            self.assertEqual(panel_attribute(d), "185")
            self.assertIn("[INFO]: PIP started by default", d.log())
            self.assertEqual(d.request("c:get_zoom:n:"), "r:get_zoom:s:0")

    def test_out_of_range_settings_fall_back(self):
        with Daemon({"luminance": 9, "reticle_color": -2, "reticle_source": 5}) as d:
            started(d)
            self.assertEqual(panel_attribute(d), "75")
            self.assertEqual(d.request("c:get_lum:n:"), "r:get_lum:s:0")
            self.assertIn("Setting reticle_color=-2 is out of range", d.log())
            self.assertEqual(overlay_record(d).lines()[:8], STARTUP_OVERLAY)


class CameraCore(unittest.TestCase):
    def setUp(self):
        self.d = started(Daemon().start())
        self.mrvac = mrvac_record(self.d)
        self.overlay = overlay_record(self.d)
        self.mrvac.set_mark()
        self.overlay.set_mark()

    def tearDown(self):
        self.d.cleanup()

    def ok(self, command, data=None):
        request = f"c:{command}:s:{data}" if data is not None else f"c:{command}:n:"
        reply = self.d.request(request)
        self.assertTrue(reply.startswith(f"r:{command}:"), reply)
        return reply

    def test_zoom_steps(self):
        for _ in range(3):
            self.ok("kbd_zoom")
        self.assertEqual(self.mrvac.new(), zoom_commands(2) + zoom_commands(4) + zoom_commands(1))
        self.assertEqual(self.overlay.new(), [
            icon("ZOOM", 1), reticle_geometry(323.4, 197.4, 693.4, 567.4, 740, 740),
            icon("ZOOM", 2), reticle_geometry(-50.8, -174.8, 689.2, 565.2, 1480, 1480),
            icon("ZOOM", 0), ZOOM_1[0]])
        self.assertEqual(self.d.request("c:get_zoom:n:"), "r:get_zoom:s:0")

    def test_failing_zoom_keeps_the_step(self):
        inject_mrvac_failure(self.d, "3/1 zoom 2")
        self.assertEqual(self.d.request("c:kbd_zoom:n:"), "e:kbd_zoom:n:")
        self.assertEqual(self.d.request("c:get_zoom:n:"), "r:get_zoom:s:0")
        self.assertEqual(self.overlay.new(), [])
        self.ok("kbd_zoom")
        self.assertEqual(self.mrvac.new(), zoom_commands(2) + zoom_commands(2))
        self.assertEqual(self.d.request("c:get_zoom:n:"), "r:get_zoom:s:1")

    def test_pip_on_zoom_off(self):
        self.ok("enable_pip", 1)
        self.assertEqual(self.mrvac.new(),
                         zoom_commands(1) + ["mrvac origin 435 355", "mrvac pip 2"])
        self.assertEqual(self.overlay.new(), [
            icon("ZOOM", 0), ZOOM_1[0], "FtrMenu.pipSt:1",
            RETICLE + '{"Z_OFFSET_X": 0,"Z_OFFSET_Y": 0}', icon("PIP_ZOOM", 1)])
        self.assertEqual(self.d.request("c:get_pip:n:"), "r:get_pip:s:1")

        self.mrvac.set_mark()
        self.overlay.set_mark()
        self.ok("kbd_zoom")
        self.assertEqual(self.mrvac.new(), ["mrvac origin 435 355", "mrvac pip 4"])
        self.assertEqual(self.overlay.new(), [RETICLE + '{"Z_OFFSET_X": 0,"Z_OFFSET_Y": 0}',
                                              icon("PIP_ZOOM", 2)])
        self.assertEqual(self.d.request("c:get_zoom:n:"), "r:get_zoom:s:1")

        self.mrvac.set_mark()
        self.overlay.set_mark()
        self.ok("enable_pip", 0)
        self.assertEqual(self.mrvac.new(),
                         zoom_commands(1) + ["mrvac origin 435 355", "mrvac pip 0"])
        self.assertEqual(self.overlay.new(), [
            icon("ZOOM", 0), ZOOM_1[0], "FtrMenu.pipSt:0",
            RETICLE + '{"Z_OFFSET_X": 0,"Z_OFFSET_Y": 0}'])
        self.assertEqual(self.d.request("c:get_pip:n:"), "r:get_pip:s:0")

    def test_enable_pip_twice(self):
        self.ok("enable_pip", 4)  # any non-zero number asks for factor 2
        self.mrvac.set_mark()
        self.overlay.set_mark()
        self.ok("enable_pip", 1)
        self.assertEqual(self.mrvac.new(), ["mrvac origin 435 355", "mrvac pip 2"])
        self.assertNotIn("FtrMenu.pipSt:1", self.overlay.new())

    def test_nuc(self):
        self.ok("kbd_nuc")
        self.assertEqual(self.mrvac.new(), ["mrvac fast-nuc"])
        self.assertEqual(self.overlay.new(), [icon("AUTO_NUC_ALRT", 0)])
        self.mrvac.set_mark()
        self.assertEqual(self.d.request("c:set_nuc_type:s:4"), "e:set_nuc_type:n:")
        self.assertEqual(self.d.request("c:set_nuc_type:s:-1"), "e:set_nuc_type:n:")
        self.ok("set_nuc_type", 2)
        self.ok("set_nuc_type", 0)
        self.ok("set_nuc_type", 3)
        self.assertEqual(self.mrvac.new(), ["mrvac shutter-movement 0",
                                            "mrvac shutter-movement 1",
                                            "mrvac shutter-movement 1"])
        inject_mrvac_failure(self.d, "5/1 fast-nuc")
        self.assertEqual(self.d.request("c:kbd_nuc:n:"), "e:kbd_nuc:n:")

    def test_luminance(self):
        self.ok("set_lum", 2)
        self.assertEqual(panel_attribute(self.d), "185")
        self.assertEqual(self.overlay.new(), [icon("LUM", 2, spaced=False)])
        for expected in ("220", "75", "130"):
            self.ok("kbd_pol")
            self.assertEqual(panel_attribute(self.d), expected)
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:1")
        for bad in ("4", "-1", "x"):
            reply = self.d.request(f"c:set_lum:s:{bad}")
            if bad == "x":  # no number reads as 0
                self.assertEqual(reply, "r:set_lum:n:")
            else:
                self.assertEqual(reply, "e:set_lum:n:")
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:0")

        os.makedirs(os.path.dirname(self.d.path(HDMI_NODE)), exist_ok=True)
        open(self.d.path(HDMI_NODE), "w").close()
        self.overlay.set_mark()
        self.ok("set_lum", 3)
        self.assertEqual(panel_attribute(self.d), "75")
        self.assertEqual(self.overlay.new(), [])
        self.assertIn("[WARN]: HDMI connected - skip oled command", self.d.log())
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:3")

    def test_reticle_settings(self):
        self.ok("set_reticle_src", 7)
        self.ok("set_reticle_src", -1)
        self.ok("set_reticle_color", 6)
        self.assertEqual(self.d.request("c:set_reticle_color:s:7"), "e:set_reticle_color:n:")
        self.assertEqual(self.d.request("c:set_reticle_color:s:-1"), "e:set_reticle_color:n:")
        self.ok("set_reticle_opacity", 0.5)
        self.ok("set_reticle_opacity", 0)
        self.ok("set_reticle_opacity", "1.0")
        for bad in ("1.01", "-0.1", "nan"):
            self.assertEqual(self.d.request(f"c:set_reticle_opacity:s:{bad}"),
                             "e:set_reticle_opacity:n:")
        self.ok("enable_dot", 5)
        self.ok("enable_reticle", 0)
        self.assertEqual(self.overlay.new(), [
            RETICLE + '{"SRC": "/opt/us/Reticles/CircleReticle.svg"}',
            RETICLE + '{"COLOR_HEX": "#0089b6"}',
            RETICLE + '{"BRIGHT_VAL": "0.500000"}',
            RETICLE + '{"BRIGHT_VAL": "0.000000"}',
            RETICLE + '{"BRIGHT_VAL": "1.000000"}',
            RETICLE + '{"RD_STATE": 1}',
            RETICLE + '{"STATE": 0}'])
        self.assertEqual(self.d.request("c:get_reticle:n:"), "r:get_reticle:s:0")
        config = self.d.request("c:print_config:n:")
        for line in ("reticle_source=2", "reticle_color=6", "reticle_opacity=1.00", "red_dot=1",
                     "reticle=0"):
            self.assertIn("\n" + line + "\n", config)

    def test_origin(self):
        self.assertEqual(self.d.request("c:set_origin:l:512.5"),
                         "e:set_origin:s:Invalid argument count")
        self.assertEqual(self.d.request("c:set_origin:l:1,2,3"),
                         "e:set_origin:s:Invalid argument count")
        self.ok("set_origin", "100,200")
        self.assertEqual(self.mrvac.new(), [])
        self.assertEqual(self.overlay.new(), [])
        self.ok("kbd_zoom")
        # (100 + 185) / 1.6 = 178.1, (200 + 185) / 1.6 = 240.6
        self.assertEqual(self.mrvac.new(), ["mrvac origin 178 240", "mrvac zoom 2"])


class Buttons(unittest.TestCase):
    def setUp(self):
        self.d = started(Daemon().start())
        self.buttons = open_buttons(self.d)
        self.mrvac = mrvac_record(self.d)
        self.mrvac.set_mark()

    def tearDown(self):
        os.close(self.buttons)
        self.d.cleanup()

    def press(self, records):
        os.write(self.buttons, records)

    def settle(self):
        # A request is served after every record written before it.
        time.sleep(0.2)
        self.d.request("c:get_lum:n:")

    def test_one_action_per_release(self):
        self.press(key_records(KEY_ZOOM, repeats=2))
        self.assertTrue(wait_for(lambda: ended_commands(self.d) == 3))
        self.settle()
        self.assertEqual(self.mrvac.new(), zoom_commands(2))
        self.press(input_record(EV_KEY, KEY_ENTER, 0) + input_record(EV_SYN, 0, 0) +
                   input_record(EV_KEY, KEY_ZOOM, 1))
        self.settle()
        self.assertEqual(self.mrvac.new(), zoom_commands(2))
        self.press(input_record(EV_KEY, KEY_ZOOM, 0) + key_records(KEY_NUC) + key_records(KEY_POL))
        self.assertTrue(wait_for(lambda: panel_attribute(self.d) == "130"))
        self.assertTrue(wait_for(lambda: ended_commands(self.d) == 6))
        self.assertEqual(self.mrvac.new(), zoom_commands(2) + zoom_commands(4) + ["mrvac fast-nuc"])
        self.assertIn("[INFO]: kbd event: 2", self.d.log())

    def test_disable_kbd_silences_the_buttons_and_the_outputs(self):
        overlay = overlay_record(self.d)
        overlay.set_mark()
        # A reader of our own keeps the FIFO open once the daemon lets go of it.
        keep_open = os.open(self.d.path("/dev/input/event1"), os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, keep_open)
        self.assertEqual(self.d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
        self.press(key_records(KEY_ZOOM) + key_records(KEY_POL))
        self.settle()
        self.assertEqual(self.d.request("c:kbd_zoom:n:"), "r:kbd_zoom:n:")
        self.assertEqual(self.d.request("c:set_reticle_color:s:3"), "r:set_reticle_color:n:")
        self.assertEqual(self.d.request("c:set_lum:s:2"), "r:set_lum:n:")
        self.assertEqual(self.mrvac.new(), [])
        self.assertEqual(overlay.new(), [])
        self.assertEqual(panel_attribute(self.d), "75")

        def written():
            with open(self.d.path("/etc/mrvdc.conf")) as conf:
                text = conf.read()
            return "\nreticle_color=3\n" in text and "\nluminance=2\n" in text
        self.assertTrue(wait_for(written))

    def test_failing_button_action_is_a_warning(self):
        inject_mrvac_failure(self.d, "4 zoom 2")
        self.press(key_records(KEY_ZOOM))
        self.assertTrue(wait_for(lambda: "[WARN]: failed to process kbd input" in self.d.log()))
        self.assertEqual(self.d.request("c:kbd_zoom:n:"), "e:kbd_zoom:n:")
        self.assertIsNone(self.d.proc.poll())
        self.assertNotIn("[ERROR]", self.d.log())

    def test_unplugged_device_is_dropped(self):
        os.close(self.buttons)
        self.buttons = os.open("/dev/null", os.O_WRONLY)
        self.assertTrue(wait_for(lambda: "kbd device went away" in self.d.log()))
        self.assertEqual(self.d.request("c:kbd_zoom:n:"), "r:kbd_zoom:n:")
        # The loop is idle again: a second's log holds the timer's tick at most.
        before = self.d.log()
        time.sleep(1)
        self.assertLess(len(self.d.log()) - len(before), 2000)


class AutomaticNuc(unittest.TestCase):
    def test_on_the_second_and_twelfth_tick_with_nuc_type_zero(self):
        with Daemon({"nuc_type": 0}) as zero, Daemon({"nuc_type": 1}) as one:
            start = time.monotonic()
            nucs = lambda: [l for l in mrvac_record(zero).lines() if l == "mrvac fast-nuc"]
            self.assertTrue(wait_for(lambda: len(nucs()) == 1, timeout=5))
            first = time.monotonic() - start
            self.assertTrue(wait_for(lambda: len(nucs()) == 2, timeout=15))
            second = time.monotonic() - start
            # Ten ticks apart; the first may be seen late on a loaded machine.
            self.assertGreater(second - first, 6)
            time.sleep(2)
            self.assertEqual(len(nucs()), 2)
            self.assertNotIn("mrvac fast-nuc", mrvac_record(one).lines())


class Handover(unittest.TestCase):
    def test_events_reach_the_bus_only_after_disable_kbd(self):
        d = Daemon()
        redis = RedisServer(d.path("/run/redis.sock"))
        try:
            d.start()
            started(d)
            listener = Subscriber(redis.socket_path, "MRVDC.VIDEO.DONE", "MRVDC.STORAGE.DONE")
            self.assertEqual(d.request("c:kill_pipe:s:1"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: "showing no video indication" in d.log()))
            self.assertEqual(listener.messages(1), [])

            self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
            self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
            self.assertEqual(d.log().count("Connected to redis: "), 1)
            # Bring the display back and lose it again.
            self.assertEqual(d.request("c:kill_pipe:s:6"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: d.request("c:create_pipe:s:1") == "r:create_pipe:n:"))
            self.assertEqual(listener.messages(1), [])
            self.assertEqual(d.request("c:kill_pipe:s:1"), "r:kill_pipe:n:")
            self.assertEqual(listener.messages(5), [(
                "MRVDC.VIDEO.DONE",
                '{ "MRVDC": {"message": "No input video signal", "code": 1 }}')])
        finally:
            d.cleanup()
            redis.stop()

    def test_running_out_of_space_while_recording_is_published(self):
        d = Daemon()
        media = d.path("/media")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=150m", "tmpfs", media], check=True)
        redis = RedisServer(d.path("/run/redis.sock"))
        try:
            d.start()
            started(d)
            listener = Subscriber(redis.socket_path, "MRVDC.STORAGE.DONE")
            self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
            self.assertEqual(d.request("c:enable_record:s:1"), "r:enable_record:n:")
            time.sleep(1.5)
            with open(os.path.join(media, "filler"), "wb") as filler:
                filler.write(b"\0" * (60 << 20))
            self.assertEqual(listener.messages(5)[:1], [(
                "MRVDC.STORAGE.DONE", '{ "MRVDC": {"message": "Out of space!", "code": 2 }}')])
            self.assertIn("[WARN]: Ran out of space while recording video.", d.log())
            self.assertEqual(d.stop(), 0)
        finally:
            d.kill()
            redis.stop()
            # Unmounted before the sysroot goes: a mount point cannot be removed.
            subprocess.run(["umount", "-l", media])
            d.cleanup()

    def test_without_a_bus_the_daemon_keeps_running(self):
        with Daemon() as d:
            self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
            # The worker connects after the reply.
            self.assertTrue(wait_for(lambda: "[WARN]: Redis connect error: " in d.log()))
            self.assertEqual(d.request("c:get_lum:n:"), "r:get_lum:s:0")


class WriteBack(unittest.TestCase):
    def test_a_burst_ends_with_the_last_state_in_the_fixed_file_complete_at_exit(self):
        d = Daemon()
        other = d.path("/etc/other.conf")
        with open(d.path("/etc/mrvdc.conf")) as conf, open(other, "w") as copy:
            original = conf.read()
            copy.write(original)
        os.remove(d.path("/etc/mrvdc.conf"))
        d.args = ["-v", "-c", other]

        def settings():
            with open(d.path("/etc/mrvdc.conf")) as conf:
                return dict(line.split("=", 1) for line in conf.read().splitlines())

        try:
            d.start()
            started(d)
            # Unchanged settings are not written.
            self.assertEqual(d.request("c:set_lum:s:0"), "r:set_lum:n:")
            self.assertEqual(d.request("c:enable_pip:s:0"), "r:enable_pip:n:")
            time.sleep(0.5)
            self.assertNotIn("Config write takes : ", d.log())
            # Writes merge while one is on its way; the last state always reaches the file.
            for step in range(12):
                self.assertEqual(d.request(f"c:set_lum:s:{step % 4}"), "r:set_lum:n:")
                self.assertEqual(d.request(f"c:set_reticle_color:s:{step % 7}"),
                                 "r:set_reticle_color:n:")
            self.assertTrue(wait_for(lambda: os.path.exists(d.path("/etc/mrvdc.conf")) and
                                     settings().get("reticle_color") == "4"))
            self.assertEqual(settings()["luminance"], "3")
            with open(other) as conf:
                self.assertEqual(conf.read(), original)
            # A change just before the stop is written, whole, before the daemon exits.
            self.assertEqual(d.request("c:set_lum:s:1"), "r:set_lum:n:")
            self.assertEqual(d.stop(), 0)
            written = settings()
            self.assertEqual(len(written), 34)
            self.assertEqual((written["luminance"], written["reticle_color"]), ("1", "4"))
        finally:
            d.cleanup()


class AsTheShooterSeesIt(unittest.TestCase):
    """The purpose of the geometry: the red dot stays on its target when zooming."""

    def window(self, picture, cx, cy, step, radius=12):
        # Scene samples around (cx, cy), `step` display pixels apart.
        return [picture.luma(round(cx + dx * step), round(cy + dy * step))
                for dy in range(-radius, radius + 1, 3) for dx in range(-radius, radius + 1, 3)
                if abs(dx) > 2 or abs(dy) > 2]

    def distance(self, a, b):
        return sum(abs(x - y) for x, y in zip(a, b)) / len(a)

    def test_red_dot_on_the_same_scene_point_after_a_zoom_press(self):
        with Daemon() as d:
            started(d)
            shown = snapshot_showing(d, lambda p: p.rgb(697, 569)[0] > 180, timeout=30)
            red, green, blue = shown.rgb(697, 569)
            self.assertGreater(red, 180)
            self.assertLess(max(green, blue), 90)
            self.assertNotEqual(shown.rgb(697, 580), shown.rgb(697, 569))

            self.assertEqual(d.request("c:enable_reticle:s:0"), "r:enable_reticle:n:")
            before = take_snapshot(d)
            self.assertEqual(d.request("c:kbd_zoom:n:"), "r:kbd_zoom:n:")
            after = snapshot_showing(d, lambda p: p.rgb(693, 567)[0] > 180)
            # Zoom 2: the red dot moved to (693.4, 567.4); the scene around it is twice as big.
            red, green, blue = after.rgb(693, 567)
            self.assertGreater(red, 180)
            self.assertLess(max(green, blue), 90)
            around_before = self.window(before, 697, 569, 1)
            around_after = self.window(after, 693.4, 567.4, 2)
            same = self.distance(around_before, around_after)
            # Had the core zoomed about another point, the dot would sit on other scenery.
            others = [self.distance(around_before, self.window(after, x, y, 2))
                      for x, y in ((733.4, 567.4), (653.4, 567.4), (693.4, 607.4),
                                   (693.4, 527.4))]
            self.assertLess(same, 12, (same, others))
            self.assertLess(same * 2, max(others), (same, others))


if __name__ == "__main__":
    unittest.main()
