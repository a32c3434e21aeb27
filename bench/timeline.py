"""Where a file's time goes: reads a capture of vx_link_relay (the client's side of the link) and
splits each file's exchange on both channels into phases.

A file's cycle runs from the completion reply of the file before it (as it reaches the client)
to its own completion reply:
  other      the client's other exchanges and its own time before PORT (folder questions on the
             command channel, MKD, CWD, TYPE...), with the count of command lines sent
  port       PORT sent -> its reply in
  think1     reply to PORT in -> STOR sent
  connect    STOR sent -> the server's SYN in (the server opens the data connection)
  open       SYN in -> the first data byte out (the rest of the handshake, the 150, our accept)
  send       first data byte out -> FIN out
  close      FIN out -> completion reply in
Also printed: the sum of each phase over all files, and every packet of one file.
"""
import statistics
import struct


class Packet:
    __slots__ = ("t", "out", "cport", "sport", "flags", "seq", "payload")


FIN, SYN, RST, PSH, ACK = 0x01, 0x02, 0x04, 0x08, 0x10


def read_pcap(path, client_ip):
    client = bytes(int(x) for x in client_ip.split("."))
    packets = []
    with open(path, "rb") as f:
        data = f.read()
    pos = 24
    while pos + 16 <= len(data):
        sec, usec, incl, _ = struct.unpack_from("<IIII", data, pos)
        raw = data[pos + 16:pos + 16 + incl]
        pos += 16 + incl
        if len(raw) < 20 or raw[0] >> 4 != 4 or raw[9] != 6:
            continue
        ihl = (raw[0] & 15) * 4
        total = struct.unpack_from("!H", raw, 2)[0]
        tcp = raw[ihl:total]
        sport, dport, seq = struct.unpack_from("!HHI", tcp, 0)
        offset = (tcp[12] >> 4) * 4
        p = Packet()
        p.t = sec + usec / 1e6
        p.out = raw[12:16] == client
        p.cport, p.sport = (sport, dport) if p.out else (dport, sport)
        p.flags = tcp[13]
        p.seq = seq
        p.payload = tcp[offset:]
        packets.append(p)
    return packets


def flag_text(flags):
    return "".join(c for bit, c in ((SYN, "S"), (FIN, "F"), (RST, "R"), (PSH, "P"))
                   if flags & bit) or "."


class Capture:
    """The packets of one run, the control lines of both channels and the cycle of each file."""

    def __init__(self, path, client_ip, ftp_port, command_port):
        self.packets = read_pcap(path, client_ip)
        self.ftp_port, self.command_port = ftp_port, command_port
        self.lines = []  # (t, out, channel, text)
        pending = {}
        for p in self.packets:
            channel = self.channel(p)
            if channel == "data" or not p.payload:
                continue
            key = (channel, p.out)
            buf = pending.get(key, b"") + p.payload
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                self.lines.append((p.t, p.out, channel, line.decode("latin-1").rstrip("\r")))
            pending[key] = buf
        self.files = self.cycles()

    def channel(self, p):
        if p.sport == self.ftp_port:
            return "ctrl"
        if p.sport == self.command_port:
            return "cmd"
        return "data"

    def cycles(self):
        files = []
        previous_end = None
        commands = 0
        current = None
        for t, out, channel, text in self.lines:
            if out:
                commands += 1
                if channel == "ctrl" and text.startswith("PORT "):
                    current = {"start": previous_end, "port": t, "commands": commands}
                elif channel == "ctrl" and text.startswith("STOR ") and current:
                    current["stor"] = t
                    current["name"] = text[5:].rsplit("/", 1)[-1]
                    current["path"] = text[5:]
                continue
            if not current:
                continue
            code = text[:3]
            if channel == "ctrl" and "port_reply" not in current and "stor" not in current:
                current["port_reply"] = t
            elif channel == "ctrl" and "stor" in current and code in ("226", "250", "451",
                                                                        "426", "552"):
                if text[3:4] == "-":
                    continue
                current["end"] = t
                self.data_events(current)
                files.append(current)
                previous_end = t
                commands = 0
                current = None
        return files

    def data_events(self, cycle):
        """The data connection opened after the file's STOR: SYN in, first data, FIN out."""
        conn = None
        for p in self.packets:
            if p.t < cycle["stor"] or p.t > cycle["end"] or self.channel(p) != "data":
                continue
            if conn is None and not p.out and p.flags & SYN:
                conn = (p.cport, p.sport)
                cycle["syn"] = p.t
                continue
            if conn != (p.cport, p.sport):
                continue
            if p.out and p.payload and "first_data" not in cycle:
                cycle["first_data"] = p.t
            if p.out and p.flags & FIN and "fin" not in cycle:
                cycle["fin"] = p.t
        cycle["conn"] = conn

    def phases(self, cycle):
        def span(a, b):
            if cycle.get(a) is None or cycle.get(b) is None:
                return None
            return (cycle[b] - cycle[a]) * 1000

        return {"other": span("start", "port"), "port": span("port", "port_reply"),
                "think1": span("port_reply", "stor"), "connect": span("stor", "syn"),
                "open": span("syn", "first_data") if cycle.get("first_data") else
                span("syn", "fin"),
                "send": span("first_data", "fin"), "close": span("fin", "end"),
                "total": span("start", "end")}

    def packet_lines(self, cycle):
        """Every packet from the end of the file before to this file's completion reply."""
        start = cycle["start"] if cycle["start"] is not None else cycle["port"]
        rows = []
        for p in self.packets:
            if p.t < start - 1e-9 or p.t > cycle["end"] + 1e-9:
                continue
            channel = self.channel(p)
            if channel == "data" and (p.cport, p.sport) != cycle["conn"]:
                continue
            what = ""
            if channel != "data" and p.payload:
                what = repr(p.payload.decode("latin-1"))[1:-1][:60]
            elif p.payload:
                what = "%d bytes" % len(p.payload)
            rows.append("%8.3f  %s  %-4s %-3s %s" % ((p.t - start) * 1000,
                                                   "->" if p.out else "<-", channel,
                                                   flag_text(p.flags), what))
        return rows


PHASES = ["other", "port", "think1", "connect", "open", "send", "close", "total"]


def Compare(captures, file_name):
    """A side-by-side table of the phases (median and sum over all files) and one file's packets."""
    out = []
    tools = list(captures)
    out.append("")
    out.append("Per file, ms: median (sum over all files in s)")
    out.append("")
    out.append("| phase | " + " | ".join(tools) + " |")
    out.append("|---|" + "---|" * len(tools))
    stats = {}
    for tool, cap in captures.items():
        per = [cap.phases(c) for c in cap.files]
        stats[tool] = {ph: [x[ph] for x in per if x[ph] is not None] for ph in PHASES}
    for ph in PHASES:
        cells = []
        for tool in tools:
            v = stats[tool][ph]
            cells.append("%.3f (%.2f)" % (statistics.median(v), sum(v) / 1000) if v else "-")
        out.append("| %s | %s |" % (ph, " | ".join(cells)))
    for tool, cap in captures.items():
        first = cap.files[0]["port"] if cap.files else None
        span = cap.packets[-1].t - cap.packets[0].t if cap.packets else 0
        commands = statistics.median([c["commands"] for c in cap.files[1:]] or [0])
        out.append("")
        out.append("%s: %d files; capture %.3f s, of which %.3f s before the first PORT and "
                   "%.3f s after the last completion reply; median command lines per file %g"
                   % (tool, len(cap.files), span,
                      (first - cap.packets[0].t) if first else 0,
                      cap.packets[-1].t - cap.files[-1]["end"] if cap.files else 0, commands))
    for tool, cap in captures.items():
        match = [c for c in cap.files if c["name"] == file_name]
        if not match:
            continue
        out.append("")
        out.append("%s, every packet of %s (ms from the previous completion reply):"
                   % (tool, match[0]["path"]))
        out.extend("  " + row for row in cap.packet_lines(match[0]))
    return "\n".join(out)
