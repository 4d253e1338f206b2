"""The control protocol as a user meets it: the 37 commands with good and bad data, malformed
requests, and what a well-formed reply to each request looks like."""
import re

# Commands whose success reply carries a number, and the one that carries the settings.
GETTERS = ("get_lum", "get_pip", "get_reticle", "get_zoom", "get_enc_type", "get_mic_volume")
# Commands that change a setting kept in the configuration file.
SETTERS = ("kbd_pol", "enable_pip", "enable_reticle", "enable_dot", "set_origin",
           "set_reticle_src", "set_reticle_color", "set_reticle_opacity", "set_nuc_type",
           "set_lum", "set_enc_type", "set_mic_volume")
# Commands that always answer success whatever their data.
ALWAYS_OK = ("enable_reticle", "set_reticle_src", "pipeline_state")

ARG_COUNT = "Invalid argument count"
EXEC_FAILED = "Failed when executing command."
UNKNOWN = "Unknown command"
UNDECODED = "Failed to decode the command"

# The daemon takes at most this many bytes of a request in one read (and stops at a NUL).
RECEIVE_LIMIT = 2047

REPLY = re.compile(rb"^([re]):([^:]*):([sn]):(.*)$", re.S)
PIPES = range(10)


def _flag(rng):
    return rng.choice(["0", "1", "1", "2", "-1", "", "yes", "7"])


def _index(size):
    return lambda rng: str(rng.choice(list(range(size)) * 3 + [size, -1, 1000, 2 ** 31]))


def _number(rng):
    return rng.choice(["%.3f" % rng.uniform(0, 1024), str(rng.randint(0, 1024)), "-40.5",
                       "99999", "1e308", "nan", "inf", "-inf", "abc", ""])


def _origin(rng):
    count = rng.choice([2, 2, 2, 2, 1, 3, 11])
    return ",".join(_number(rng) for _ in range(count))


def _qml_prop(rng):
    good = rng.choice(["ReticleMenu,visible,1", "FtrMenu,pipSt,0", "OffMenu,menuSt,1",
                       "ReticleMenu,retOpacity,0.5", "Obj,text,a:b", "Obj,text,a\\,b"])
    return rng.choice([good, good, good, "a,b", "a,b,c,d", "", ",,", "a,,b,c"])


def _pipe(rng):
    return str(rng.choice(list(PIPES) * 2 + [-1, 10, 99]) if rng.random() < 0.95 else "x")


def _opacity(rng):
    return rng.choice(["%.2f" % rng.uniform(0, 1), "0", "1.0", "1.01", "-0.5", "nan", "x"])


def _volume(rng):
    return str(rng.choice([rng.randint(0, 100), rng.randint(0, 100), 101, -5, 100000]))


def _empty(rng):
    return rng.choice(["", "", "", "1", "junk"])


# Command -> generator of its data (good values most of the time, bad ones now and then).
COMMANDS = {
    "set_qml_prop": _qml_prop,
    "enable_qml": _flag,
    "enable_video": _flag,
    "enable_record": _flag,
    "make_snapshot": _empty,
    "enable_tcp_stream": _flag,
    "disable_kbd": _empty,
    "kbd_zoom": _empty,
    "kbd_nuc": _empty,
    "kbd_pol": _empty,
    "print_config": _empty,
    "enable_pip": lambda rng: rng.choice(["0", "2", "4", "0", "3", "-1", "x"]),
    "get_lum": _empty,
    "get_pip": _empty,
    "enable_reticle": _flag,
    "enable_dot": _flag,
    "get_reticle": _empty,
    "set_origin": _origin,
    "get_zoom": _empty,
    "set_reticle_src": _index(5),
    "set_reticle_color": _index(7),
    "set_reticle_opacity": _opacity,
    "set_nuc_type": _index(4),
    "set_lum": _index(4),
    "set_enc_type": _index(3),
    "get_enc_type": _empty,
    "set_mic_volume": _volume,
    "get_mic_volume": _empty,
    "pipeline_state": _empty,
    "create_dot": _empty,
    "create_pipe": _pipe,
    "kill_pipe": _pipe,
    "pause_pipe": _pipe,
    "resume_pipe": _pipe,
    "pause_video": _empty,
    "resume_video": _empty,
    "enable_http_stream": _flag,
}
assert len(COMMANDS) == 37

# How often each command is drawn, relative to 1. Commands that hand the sight to a client for
# good, freeze every picture or write files are drawn by the driver on purpose, not here.
WEIGHTS = dict.fromkeys(COMMANDS, 1.0)
WEIGHTS.update({"disable_kbd": 0.0, "pause_video": 0.15, "create_dot": 0.1,
                "enable_record": 2.5, "enable_tcp_stream": 2.0, "enable_http_stream": 2.0,
                "make_snapshot": 1.5, "kill_pipe": 1.2, "create_pipe": 1.5, "pause_pipe": 0.6,
                "resume_pipe": 1.5, "resume_video": 0.6, "pipeline_state": 0.3})


def request(command, data, dtype="s"):
    return f"c:{command}:{dtype}:{data}".encode()


def random_request(rng, command=None):
    """A well-formed request; the command is drawn by weight unless given."""
    if command is None:
        names = list(WEIGHTS)
        command = rng.choices(names, weights=[WEIGHTS[n] for n in names])[0]
    return command, request(command, COMMANDS[command](rng), rng.choice("siln"))


def malformed_request(rng):
    """A request a careless or hostile client sends: missing fields, wrong types, too many
    arguments, oversized, with NUL bytes or bytes that are not UTF-8."""
    kind = rng.randrange(12)
    if kind == 0:
        return rng.choice([b"c:get_lum", b"c", b"", b":::", b"c:", b"c:set_lum"])
    if kind == 1:
        return rng.choice([b"x:get_lum:n:", b"r:get_zoom:s:1", b"e:get_pip:n:"])
    if kind == 2:
        return rng.choice([b"c:get_lum:x:", b"c:set_lum:q:1", b"c:get_zoom:ss:"])
    if kind == 3:
        return request("set_origin", ",".join(str(i) for i in range(rng.randint(3, 14))))
    if kind == 4:
        return request(rng.choice(["set_lum", "enable_record", "set_mic_volume"]), "yes")
    if kind == 5:
        return request("set_qml_prop", "A," * 1490 + "B")
    if kind == 6:
        return bytes(rng.randrange(1, 256) for _ in range(3000))
    if kind == 7:
        return b"c:get_lum:n:\0" + bytes(rng.randrange(256) for _ in range(20))
    if kind == 8:
        return rng.choice([b"c:get\0_lum:n:", b"\0c:get_lum:n:", b"c:set_lum:s:2\0\0\0"])
    if kind == 9:
        return rng.choice([b"c:\xff\xfe:n:", b"c:set_qml_prop:s:a,b,\xc3\x28",
                           b"c:get_lum\xe2\x82:n:", b"\x80:get_lum:n:"])
    if kind == 10:
        return rng.choice([b"c:do_it:s:", b"c:GET_LUM:n:", b"c:get_lum :n:"])
    return rng.choice([b"c::get_lum:n:", b"::c:get_zoom:n:", b"c:get_pip::n:"])


def _decode_model(text):
    """The request's three fields as the daemon's tokenizer sees them, or None."""
    fields = []
    rest = text
    for _ in range(3):
        rest = rest.lstrip(b":")
        if not rest:
            return None
        token, _, rest = rest.partition(b":")
        fields.append(token)
    return fields


def check_reply(sent, reply):
    """None when `reply` is a well-formed answer to `sent`, else what is wrong with it."""
    match = REPLY.match(reply)
    if not match:
        return "reply is not well formed"
    ctype, cmd, dtype, data = match.groups()
    text = sent.split(b"\0", 1)[0]
    if len(text) > RECEIVE_LIMIT:
        return None  # split over several reads; each part is answered on its own
    strict = re.match(rb"^c:([^:]+):[siln](:|$)", text)
    fields = _decode_model(text)
    if cmd == b"no_cmd" and not strict:
        ok = (ctype, dtype, data) == (b"e", b"s", UNDECODED.encode())
        return None if ok else "a request that does not decode must get \"%s\"" % UNDECODED
    if fields is None or (not strict and (fields[0][:1] != b"c" or fields[2][:1] not in
                                          b"siln")):
        return "a malformed request must be answered with no_cmd"
    if cmd != fields[1]:
        return "reply names another command"
    name = cmd.decode(errors="replace")
    if name not in COMMANDS:
        ok = (ctype, dtype, data) == (b"e", b"s", UNKNOWN.encode())
        return None if ok else "an unknown command must get \"%s\"" % UNKNOWN
    return _check_command_reply(name, ctype, dtype, data)


def _check_command_reply(name, ctype, dtype, data):
    if name in GETTERS:
        ok = ctype == b"r" and dtype == b"s" and re.fullmatch(rb"-?\d+", data)
        return None if ok else "a getter answers 'r' with a number"
    if name == "print_config":
        ok = ctype == b"r" and dtype == b"s" and data.count(b"=") >= 30
        return None if ok else "print_config answers 'r' with the settings"
    if name == "enable_video":
        return None if (ctype, dtype) == (b"e", b"n") else "enable_video always fails"
    if name in ALWAYS_OK and ctype != b"r":
        return f"{name} always succeeds"
    texts = {"set_qml_prop": (ARG_COUNT, EXEC_FAILED), "set_origin": (ARG_COUNT,),
             "enable_qml": (EXEC_FAILED,)}.get(name, ())
    if dtype == b"n" or (ctype == b"e" and data.decode(errors="replace") in texts):
        return None
    return "unexpected reply data type or text"


def parse_settings(text):
    """key -> value of a settings text (the configuration file's form)."""
    settings = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep and key.strip() and not key.lstrip().startswith("#"):
            settings[key.strip()] = value.strip()
    return settings
