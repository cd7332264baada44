#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_requests and fuzz_xmodem into fuzz/corpus."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))

# fuzz_requests: kind, flags, sensor count, command, expected length, answer.
KINDS = ["temperature", "level", "identification", "write_address", "sensor_number",
         "read_calibration", "write_calibration", "read_coefficient", "write_coefficient",
         "set_modbus", "empty_bunker", "read_unmeasurable", "modbus_data",
         "modbus_write_address", "modbus_write_unmeasurable", "set_largis1", "upload_mode",
         "bare_check"]
MODBUS, BROADCAST, NO_DEVICE, FIX_CRC = 1, 2, 4, 8


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def framed(body):
    c = crc16(body)
    return bytes(body) + bytes([c & 0xFF, c >> 8])


def modbus_identification(plant, hw, sw):
    a = bytearray([5, 0x2B, 0x0E, 1, 1, 0, 0, 3, 0, 6]) + b"LIM-07"
    a += bytes([1, 8]) + b"SN %05d" % plant
    a += bytes([2, 33]) + b"Hardware ver %03d Software ver %03d" % (hw, sw)
    return framed(a)


def modbus_data(sensors, count_register=None):
    regs = [0] * 45
    regs[0] = 0x0D | 0x12
    hi, lo = struct.unpack(">HH", struct.pack(">f", 12.34))
    regs[5], regs[6] = hi, lo
    regs[14] = sensors if count_register is None else count_register
    for i in range(min(sensors, 30)):
        regs[15 + i] = (0x0198 + 16 * i) & 0xFFFF
    return framed(bytes([5, 4, 90]) + b"".join(struct.pack(">H", r) for r in regs))


seeds = {
    "temperature_3": ("temperature", 0, 3, 0, 0, framed([5, 1, 7, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA])),
    "temperature_0": ("temperature", 0, 0, 0, 0, framed([5, 1, 1])),
    "temperature_wrong_count": ("temperature", 0, 4, 0, 0, framed([5, 1, 7, 1, 2, 3, 4, 5, 6])),
    "temperature_error": ("temperature", 0, 2, 0, 0, framed([5, 0xFA, 2, 0x1F])),
    "level": ("level", 0, 2, 0, 0, framed([5, 1, 7, 0x00, 0x10, 0x00, 0x2A, 0x32])),
    "identification": ("identification", 0, 2, 0, 0, framed([5, 0x20, 7, 6, 0x04, 0xD2, 1, 2])),
    "identification_type5": ("identification", 0, 2, 0, 0, framed([5, 0x20, 7, 5, 0x04, 0xD2, 1, 2])),
    "identification_modbus": ("identification", MODBUS, 2, 0, 0, modbus_identification(1234, 3, 17)),
    "write_address": ("write_address", 0, 2, 0, 0, framed([5, 0x25, 6, 6, 0x04, 0xD2, 1, 1])),
    "sensor_number": ("sensor_number", 0, 2, 0, 0, framed([5, 0xB4, 2, 40])),
    "sensor_number_modbus": ("sensor_number", MODBUS, 2, 0, 0, framed([5, 4, 2, 0, 33])),
    "read_calibration": ("read_calibration", 0, 2, 0, 0,
                         framed([5, 0xA6, 9, 0x12, 0x34, 0x00, 0x7D, 0x56, 0x78, 0x01, 0x2C])),
    "write_calibration": ("write_calibration", 0, 2, 0, 0, framed([5, 0xA4, 1])),
    "read_coefficient": ("read_coefficient", 0, 2, 0, 0, framed([5, 0xB4, 2, 9])),
    "write_coefficient": ("write_coefficient", 0, 2, 0, 0, framed([5, 0xB1, 1])),
    "set_modbus": ("set_modbus", 0, 2, 0, 0, framed([5, 0xB1, 1])),
    "set_modbus_broadcast": ("set_modbus", BROADCAST | NO_DEVICE, 2, 0, 0, b""),
    "empty_bunker": ("empty_bunker", 0, 2, 0, 0, framed([5, 0xA4, 1])),
    "empty_bunker_modbus": ("empty_bunker", MODBUS, 2, 0, 0, framed([5, 0x10, 3, 0xEB, 0, 1])),
    "read_unmeasurable": ("read_unmeasurable", 0, 2, 0, 0,
                          framed([5, 0xA6, 9, 0, 0, 0x00, 0x7D, 0, 0, 0, 0])),
    "read_unmeasurable_modbus": ("read_unmeasurable", MODBUS, 2, 0, 0,
                                 framed([5, 3, 4, 0x41, 0x48, 0, 0])),
    "read_unmeasurable_nan": ("read_unmeasurable", MODBUS, 2, 0, 0,
                              framed([5, 3, 4, 0x7F, 0xC0, 0, 0])),
    "modbus_data_10": ("modbus_data", MODBUS, 10, 0, 0, modbus_data(10)),
    "modbus_data_32": ("modbus_data", MODBUS, 32, 0, 0, modbus_data(32)),
    "modbus_data_mismatch": ("modbus_data", MODBUS, 10, 0, 0, modbus_data(10, 8)),
    "modbus_data_exception": ("modbus_data", MODBUS, 10, 0, 0, framed([5, 0x84, 2])),
    "modbus_write_address": ("modbus_write_address", MODBUS, 2, 0, 0, b"\x00"),
    "modbus_write_unmeasurable": ("modbus_write_unmeasurable", MODBUS, 2, 0, 0,
                                  framed([5, 0x10, 3, 0xE8, 0, 2])),
    "set_largis1": ("set_largis1", MODBUS, 2, 0, 0, framed([5, 0x10, 3, 0xEA, 0, 1])),
    "set_largis1_broadcast": ("set_largis1", MODBUS | BROADCAST, 2, 0, 0, b""),
    "upload_mode": ("upload_mode", MODBUS, 2, 0, 0, framed([5, 0x10, 0, 3, 0, 3])),
    "bare_check_native_error": ("bare_check", 0, 2, 0x20, 10, framed([5, 0xFA, 2, 0x03])),
    "bare_check_modbus_error": ("bare_check", MODBUS, 2, 0x04, 95, framed([5, 0x84, 2])),
    "bare_check_short": ("bare_check", 0, 2, 0x01, 5, bytes([5, 1, 1, 0])),
    "bare_check_fix_crc": ("bare_check", FIX_CRC, 2, 0x01, 7, bytes([5, 1, 3, 0, 0])),
}

out = os.path.join(here, "corpus", "requests")
os.makedirs(out, exist_ok=True)
for name, (kind, flags, sensors, command, expected, answer) in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([KINDS.index(kind), flags, sensors, command, expected]) + answer)

# fuzz_xmodem: 2 header bytes (bit 7 of the first: no file; 13 bits of file
# length), the file, then steps: control byte (bits 0-1 reply length, bits 2-4
# capacity choice) and the reply bytes.
ACK, NAK, CAN = 6, 0x15, 0x18


def xmodem(file_bytes, replies, no_file=False):
    n = len(file_bytes)
    head = bytes([(0x80 if no_file else 0) | (n >> 8), n & 0xFF])
    body = b""
    for r in replies:
        if isinstance(r, tuple):
            r, capacity = r
        else:
            capacity = 0
        body += bytes([len(r) | (capacity << 2)]) + r
    return head + file_bytes + body


firmware = bytes((i * 7 + 3) & 0xFF for i in range(300))
xseeds = {
    "three_blocks": xmodem(firmware, [b"C", b"\x06", b"\x06", b"\x06", b"\x06"]),
    "naks_and_silence": xmodem(firmware, [b"C", b"\x15", b"", b"\x06", b"\x18", b"\x06", b"\x06", b"", b"\x06"]),
    "restart_lower_c": xmodem(firmware, [b"C", b"\x06", b"c", b"\x06", b"\x06", b"\x06", b"\x06", b"C"]),
    "empty_file": xmodem(b"", [b"C", b"\x06", b"\x06"]),
    "no_file": xmodem(b"", [b"C", b"\x06", b"\x06", b"", b"C"], no_file=True),
    "one_byte_past_block": xmodem(bytes(range(129)), [b"C", b"\x06", b"\x06", b"\x06"]),
    "small_buffers": xmodem(firmware, [(b"C", 5), (b"C", 4), (b"\x06", 6), b"\x06", b"\x06", (b"\x06", 7), (b"\x06", 6)]),
    "multi_byte_replies": xmodem(firmware, [b"C\x06\x06", b"\x06C", b"\x15\x06", b"\x06\x06\x06"]),
}
out = os.path.join(here, "corpus", "xmodem")
os.makedirs(out, exist_ok=True)
for name, data in xseeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
