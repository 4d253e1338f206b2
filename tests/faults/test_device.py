"""Device control in the field: a panel that refuses a value, a camera core that fails under a
button press, numbers that are no place, and the button records of the running kernel."""
import os
import unittest

from harness import Daemon, wait_for
from media import MediaInfo, fragments, wait_for_log
from sight import (KEY_POL, KEY_ZOOM, PANEL, inject_mrvac_failure, key_records, mrvac_record,
                   open_buttons, overlay_record, panel_attribute, reticle_geometry)

WRITE_BACK = "Config write takes"


def started(daemon):
    assert wait_for(lambda: panel_attribute(daemon) != "", timeout=30), daemon.log()
    return daemon


class DeviceFaults(unittest.TestCase):
    def setUp(self):
        self.d = Daemon({"record_max_len": 60})
        self.addCleanup(self.d.cleanup)
        started(self.d.start())
        self.buttons = open_buttons(self.d)
        self.addCleanup(os.close, self.buttons)

    def press(self, key):
        os.write(self.buttons, key_records(key))

    def alive(self):
        return self.d.proc.poll() is None and self.d.request("c:get_lum:n:").startswith("r:")

    def test_refused_luminance_is_not_kept_and_the_pol_button_keeps_the_sight_running(self):
        attribute = self.d.path(f"{PANEL}/attr_luminance")
        os.remove(attribute)
        os.symlink("/dev/full", attribute)
        self.assertEqual(self.d.request("c:set_lum:s:2"), "e:set_lum:n:")
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:0")
        self.press(KEY_POL)
        self.assertTrue(wait_for(lambda: "[WARN]: failed to process kbd input" in self.d.log()))
        self.assertTrue(self.alive())
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:0")
        self.assertNotIn(WRITE_BACK, self.d.log())
        # A panel that takes values again gets the step the refused press asked for.
        os.remove(attribute)
        open(attribute, "w").close()
        self.press(KEY_POL)
        self.assertTrue(wait_for(lambda: panel_attribute(self.d) == "130"))
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:1")

    def test_failing_zoom_press_keeps_the_recording_going(self):
        folder = self.d.path("/media/video")
        self.assertEqual(self.d.request("c:enable_record:s:1"), "r:enable_record:n:")
        self.assertTrue(wait_for(lambda: fragments(folder, "")))
        inject_mrvac_failure(self.d, "3/1 zoom 2")
        self.press(KEY_ZOOM)
        self.assertTrue(wait_for(lambda: "[WARN]: failed to process kbd input" in self.d.log()))
        self.assertEqual(self.d.request("c:get_zoom:n:"), "r:get_zoom:s:0")
        self.press(KEY_ZOOM)
        self.assertTrue(wait_for(
            lambda: mrvac_record(self.d).lines().count("mrvac zoom 2") == 2))
        self.assertEqual(self.d.request("c:get_zoom:n:"), "r:get_zoom:s:1")
        self.assertEqual(self.d.request("c:enable_record:s:0"), "r:enable_record:n:")
        self.assertTrue(wait_for_log(self.d, r"Got EoS event on pipe 5", timeout=15))
        (fragment,) = fragments(folder, "")
        info = MediaInfo(fragment)
        self.assertTrue(info.ok and info.video, info.text)

    def test_buttons_speak_the_running_kernel_s_record(self):
        self.press(KEY_ZOOM)
        self.assertTrue(wait_for(lambda: "mrvac zoom 2" in mrvac_record(self.d).lines()))
        self.assertEqual(self.d.request("c:get_zoom:n:"), "r:get_zoom:s:1")

    def test_non_finite_origin_is_refused(self):
        mrvac, overlay = mrvac_record(self.d), overlay_record(self.d)
        mrvac.set_mark()
        overlay.set_mark()
        for bad in ("nan,inf", "1,inf", "-inf,2", "1e999,3", "4,NAN"):
            self.assertEqual(self.d.request(f"c:set_origin:l:{bad}"), "e:set_origin:n:", bad)
        self.assertEqual(self.d.request("c:kbd_zoom:n:"), "r:kbd_zoom:n:")
        self.assertEqual(mrvac.new(), ["mrvac origin 435 355", "mrvac zoom 2"])
        self.assertNotIn("nan", "".join(overlay.new()))
        self.assertNotIn(WRITE_BACK, self.d.log())


class NonFiniteOriginInTheFile(unittest.TestCase):
    def test_falls_back_to_the_default(self):
        with Daemon({"origin_x": "nan", "origin_y": "-inf"}) as d:
            started(d)
            self.assertEqual(overlay_record(d).lines()[0],
                             reticle_geometry(512, 384, 697, 569, 370, 370))
            self.assertIn("[WARN]: Setting origin_x=nan is not a finite number, using 512.00",
                          d.log())
            self.assertEqual(d.request("c:kbd_zoom:n:"), "r:kbd_zoom:n:")
            self.assertIn("mrvac origin 435 355", mrvac_record(d).lines())


if __name__ == "__main__":
    unittest.main()
