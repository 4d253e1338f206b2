// Publisher of the daemon's events as JSON texts on Redis channels. The connection and the
// PUBLISHes run on the storage worker, in the order asked for, so a server that is slow,
// frozen or missing delays or drops events but never holds up the main loop.
#pragma once

#include <string>

// Index into the event table.
enum MessageBusEvent {
    MB_EVENT_NO_INPUT_VIDEO = 0,
    MB_EVENT_OUT_OF_SPACE = 1,
};

// 0 when a connection to this server was handed to the worker (which warns when it fails); 1
// when this server is already the one asked for. From then on events go to this server: a
// connection that failed is made again at the next event.
int rmb_connect(const char *socket_path);
// On the worker: 0 when the PUBLISH was answered; 1 without a connection or text, or when the
// server did not answer within half a second (the connection is then dropped with a warning).
int rmb_pub_string(const char *channel, const char *text);
// Drops the connection; no event is published after this. At exit, once the worker is drained
// (storage_finish).
void rmb_disconnect();
// Whether the worker holds a connection now.
int rmb_is_connected();

std::string construct_json_message(const char *text);
std::string construct_json_code_and_message(const char *text, int code);
// Hands the coded JSON text of one event to the worker to publish on its channel: 0 when handed
// over, 1 for an unknown event or while no server was asked for.
int send_mb_event(int index);
