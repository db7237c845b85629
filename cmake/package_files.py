#!/usr/bin/env python3
"""Writes the downloads so that one source always gives the same bytes, whenever and wherever it
is built. Called by cmake/package.cmake:

  package_files.py zip OUT.zip FOLDER EPOCH   the folder as a zip: entries in name order, every
                                              time EPOCH, fixed attributes, no extra fields
  package_files.py msi-times MSI EPOCH        the MSI's created and last-saved times set to EPOCH
"""
import os
import struct
import sys
import time
import zipfile


def dos_time(epoch):
    # A zip keeps local time in two-second steps from 1980; UTC is the only local time all
    # builders share.
    stamp = time.gmtime(max(epoch, 315532800))
    return stamp[:5] + (stamp[5] // 2 * 2,)


def write_zip(out, folder, epoch):
    when = dos_time(epoch)
    base = os.path.basename(os.path.normpath(folder))
    names = sorted(os.listdir(folder))

    def entry(name, attributes):
        info = zipfile.ZipInfo(name, when)
        info.create_system = 0  # MS-DOS attributes: nothing of the builder's users or modes
        info.external_attr = attributes
        return info

    with zipfile.ZipFile(out + ".part", "w") as archive:
        archive.writestr(entry(base + "/", 0x10), b"")
        for name in names:
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                sys.exit("package_files.py: only files are packed, not " + path)
            with open(path, "rb") as source:
                data = source.read()
            archive.writestr(entry(base + "/" + name, 0x20), data, zipfile.ZIP_DEFLATED, 9)
    os.replace(out + ".part", out)


class CompoundFile:
    """The few parts of a compound file (the MSI's container) needed to patch a stream in
    place: its header, FAT, mini FAT and directory."""

    def __init__(self, data):
        if data[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
            sys.exit("package_files.py: not a compound file")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
        self.cutoff = struct.unpack_from("<I", data, 0x38)[0]
        fat_sectors = [s for s in struct.unpack_from("<109I", data, 0x4C) if s < 0xFFFFFFFA]
        difat = struct.unpack_from("<I", data, 0x44)[0]
        per = self.sector // 4
        while difat < 0xFFFFFFFA:
            entries = struct.unpack_from("<%dI" % per, data, self.offset(difat))
            fat_sectors += [s for s in entries[:-1] if s < 0xFFFFFFFA]
            difat = entries[-1]
        self.fat = []
        for s in fat_sectors:
            self.fat += struct.unpack_from("<%dI" % per, data, self.offset(s))
        self.directory = self.chain_offsets(struct.unpack_from("<I", data, 0x30)[0])
        root = self.entry(0)
        self.mini_stream = self.chain_offsets(root[2])
        self.minifat = []
        for where in self.chain_offsets(struct.unpack_from("<I", data, 0x3C)[0]):
            self.minifat += struct.unpack_from("<%dI" % per, data, where)

    def offset(self, sector):
        return (sector + 1) * self.sector

    def chain_offsets(self, start):
        offsets = []
        while start < 0xFFFFFFFA:
            offsets.append(self.offset(start))
            start = self.fat[start]
        return offsets

    def entry(self, index):
        per = self.sector // 128
        where = self.directory[index // per] + (index % per) * 128
        length = struct.unpack_from("<H", self.data, where + 0x40)[0]
        name = self.data[where:where + max(length - 2, 0)].decode("utf-16-le")
        start, size = struct.unpack_from("<IQ", self.data, where + 0x74)
        return name, self.data[where + 0x42], start, size & 0xFFFFFFFF

    def stream_offsets(self, wanted):
        """File offset of each byte of the named stream."""
        for index in range(len(self.directory) * (self.sector // 128)):
            name, kind, start, size = self.entry(index)
            if kind != 2 or name != wanted:
                continue
            offsets = []
            if size < self.cutoff:
                while start < 0xFFFFFFFA and len(offsets) < size:
                    at = start * self.mini
                    base = self.mini_stream[at // self.sector] + at % self.sector
                    offsets += range(base, base + self.mini)
                    start = self.minifat[start]
            else:
                for base in self.chain_offsets(start):
                    offsets += range(base, base + self.sector)
            return offsets[:size]
        sys.exit("package_files.py: no stream " + wanted)


def set_msi_times(path, epoch):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    container = CompoundFile(data)
    where = container.stream_offsets("\x05SummaryInformation")
    stream = bytes(data[i] for i in where)
    # A property set: one section; its properties are (id, offset) pairs, each value typed.
    section = struct.unpack_from("<I", stream, 0x2C)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    filetime = struct.pack("<Q", (epoch + 11644473600) * 10000000)
    patched = 0
    for i in range(count):
        pid, at = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        kind = struct.unpack_from("<I", stream, section + at)[0]
        if pid in (11, 12, 13) and kind == 64:  # last printed, created, last saved: FILETIME
            for k in range(8):
                data[where[section + at + 4 + k]] = filetime[k]
            patched += 1
    if patched == 0:
        sys.exit("package_files.py: the MSI's summary holds no times to set")
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.replace(path + ".part", path)


def main(args):
    if len(args) == 4 and args[0] == "zip":
        write_zip(args[1], args[2], int(args[3]))
    elif len(args) == 3 and args[0] == "msi-times":
        set_msi_times(args[1], int(args[2]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
