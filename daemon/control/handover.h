// Hands the device over to an outside controller ("disable_kbd"): the buttons and the
// accelerometer stop, device control stops touching the overlay, camera core and panel, and
// events start going out on the message bus. There is no way back short of a restart.
#pragma once

int ac_disable_kbd();
