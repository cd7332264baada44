#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_config into fuzz/corpus/config."""
import os
import struct

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "config")


def short(s):
    b = s.encode("latin-1") if isinstance(s, str) else s
    return bytes([len(b)]) + b


def ident(name, value):
    return short(name) + b"\x07" + short(value)


def boolean(name, v):
    return short(name) + (b"\x09" if v else b"\x08")


def integer(name, v):
    if -128 <= v <= 127:
        return short(name) + b"\x02" + struct.pack("<b", v)
    if -32768 <= v <= 32767:
        return short(name) + b"\x03" + struct.pack("<h", v)
    return short(name) + b"\x04" + struct.pack("<i", v)


def text(name, v, tag=0x06):
    b = v.encode("utf-8")
    if tag == 0x06:
        return short(name) + b"\x06" + short(b)
    return short(name) + bytes([tag]) + struct.pack("<I", len(b)) + b


EVENTS = ["evRxChar", "evTxEmpty", "evRxFlag", "evRing", "evBreak", "evCTS", "evDSR",
          "evError", "evRLSD", "evRx80Full"]


def block(props):
    return b"TPF0" + short("TComPort") + short("ComPort") + b"".join(props) + b"\x00\x00"


def default_props(port="COM1"):
    return [ident("BaudRate", "br9600"), text("Port", port), ident("Parity.Bits", "prEven"),
            ident("StopBits", "sbOneStopBit"), ident("DataBits", "dbEight"),
            short("Events") + b"\x0b" + b"".join(short(e) for e in EVENTS) + b"\x00",
            boolean("FlowControl.OutCTSFlow", False), boolean("FlowControl.OutDSRFlow", False),
            ident("FlowControl.ControlDTR", "dtrDisable"),
            ident("FlowControl.ControlRTS", "rtsDisable"),
            boolean("FlowControl.XonXoffOut", False), boolean("FlowControl.XonXoffIn", False),
            integer("Timeouts.ReadInterval", 50), integer("Timeouts.ReadTotalMultiplier", 2),
            integer("Timeouts.ReadTotalConstant", 100), integer("Left", 104), integer("Top", 168)]


def record(name, address, plant, sensors, note=b"", c1=0, c2=0, h1=0, h2=0, k=1, stale=b""):
    name_area = (name + stale)[:16].ljust(16, b"\0")
    note_area = note.ljust(64, b"\0")
    return (bytes([len(name)]) + name_area + bytes([address]) + struct.pack("<H", plant) +
            bytes([sensors]) + struct.pack("<HHHH", c1, c2, h1, h2) + bytes([k]) +
            bytes([len(note)]) + note_area)


lim = "ЛИМ-07_".encode("cp1251")
seeds = {
    "default_two_devices": block(default_props()) +
    record(lim + b"1201", 1, 1201, 8, note="Силос 1".encode("cp1251"), c1=100, c2=900, h1=5,
           h2=120, k=4) + record(b"AB", 2, 65535, 32, stale=b"CDEFGH"),
    "settings_only": block(default_props()),
    "stray_tail": block(default_props()) + record(b"X", 7, 7, 0) + b"\x55" * 40,
    "empty": b"",
    "no_signature": b"TPF1" + block(default_props())[4:],
    "connected_all_tags": block(
        [integer("Tag", 70000), boolean("Connected", True), ident("BaudRate", "br115200"),
         text("Port", "/dev/ttyUSB0"), ident("Parity.Bits", "prMark"),
         boolean("Parity.Check", True), boolean("Parity.Replace", True),
         text("Parity.ReplaceChar", "?"), ident("StopBits", "sbTwoStopBits"),
         ident("DataBits", "dbSeven"), boolean("DiscardNull", True),
         text("EventChar", "\u00e9", 0x14),
         short("Events") + b"\x0b" + short("evRxChar") + short("evRLSD") + b"\x00",
         integer("Buffer.InputSize", 4096), integer("Buffer.OutputSize", 2048),
         boolean("FlowControl.OutCTSFlow", True), boolean("FlowControl.OutDSRFlow", False),
         ident("FlowControl.ControlDTR", "dtrHandshake"),
         ident("FlowControl.ControlRTS", "rtsToggle"), boolean("FlowControl.XonXoffOut", True),
         boolean("FlowControl.XonXoffIn", True), boolean("FlowControl.DSRSensitivity", True),
         boolean("FlowControl.TxContinueOnXoff", True), text("FlowControl.XonChar", "\x01"),
         text("FlowControl.XoffChar", "\x02"), integer("Timeouts.ReadInterval", -1),
         integer("Timeouts.ReadTotalMultiplier", 300), integer("Timeouts.ReadTotalConstant", 0),
         integer("Timeouts.WriteTotalMultiplier", 0), integer("Timeouts.WriteTotalConstant", 1),
         ident("SyncMethod", "smNone"), integer("Left", 104), integer("Top", 168)]) +
    record(b"N", 254, 1, 33),
    "long_texts": block([ident("BaudRate", "br9600"), text("Port", "p" * 300, 0x0C),
                         ident("Parity.Bits", "prNone"), ident("StopBits", "sbOneStopBit"),
                         ident("DataBits", "dbEight"), short("Events") + b"\x0b\x00"]) +
    record(b"Q" * 16, 3, 3, 40, note=b"n" * 64),
}
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
