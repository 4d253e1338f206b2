// Publisher of the daemon's events as JSON texts on Redis channels.
#pragma once

#include <string>

// Index into the event table.
enum MessageBusEvent {
    MB_EVENT_NO_INPUT_VIDEO = 0,
    MB_EVENT_OUT_OF_SPACE = 1,
};

// 0 when a new connection was made; 1 when already connected or the connection failed. From
// then on events go to this server: a connection that failed is made again at the next event.
int rmb_connect(const char *socket_path);
// 0 when the PUBLISH was answered; 1 without a connection or text, or when the server did not
// answer within half a second (the connection is then dropped with a warning).
int rmb_pub_string(const char *channel, const char *text);
// Drops the connection; no event is published after this.
void rmb_disconnect();
int rmb_is_connected();

std::string construct_json_message(const char *text);
std::string construct_json_code_and_message(const char *text, int code);
// Publishes the coded JSON text of one event on its channel.
int send_mb_event(int index);
