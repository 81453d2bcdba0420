#!/usr/bin/python3
"""Screenshot round trip against the X server's own picture of the screen:
starts the capture program (qelScreenShotXwd.cpp) under Wine, takes `xwd -root`
before and after each capture until the two agree (nothing moved meanwhile),
and compares the decoded colour PNG with that picture pixel for pixel, the
grey PNG with its grey levels, outside the cursor's rectangle.
usage: screenshot_xwd_check.py EMULATOR PROGRAM WORKDIR"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import png_decode  # noqa: E402

GREY = [0, 28, 52, 73, 92, 109, 125, 140, 155, 170, 185, 199, 213, 227, 241, 255]


def fail(msg):
    print("screenshot_xwd_check: FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def read_ppm(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:  # magic, width, height, maxval; comments run to the line end
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        fail("unexpected PPM header in " + path)
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def xwd(path):
    shot = subprocess.run("xwd -root -silent | /usr/bin/convert xwd:- -depth 8 ppm:-", shell=True,
                          stdout=subprocess.PIPE, check=True).stdout
    open(path, "wb").write(shot)
    return read_ppm(path)


def decode(png, ppm):
    check = subprocess.run(["pngcheck", "-v", png], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if check.returncode != 0 or "No errors detected" not in check.stdout:
        fail("pngcheck rejects %s:\n%s" % (png, check.stdout))
    png_decode.main(png, ppm)
    return read_ppm(ppm)


def wait_for(path, proc, seconds):
    end = time.time() + seconds
    while not os.path.exists(path):
        if proc.poll() is not None:
            fail("capture program ended with %d before %s" % (proc.returncode, os.path.basename(path)))
        if time.time() > end:
            fail("no %s within %d s" % (os.path.basename(path), seconds))
        time.sleep(0.05)


def compare(name, got, want, mask, to_grey):
    (w, h, a), (w2, h2, b) = got, want
    if (w, h) != (w2, h2):
        fail("%s is %dx%d, the screen %dx%d" % (name, w, h, w2, h2))
    mx, my, mw, mh = mask
    inside_differs = 0
    for y in range(h):
        row = 3 * w * y
        exp = b[row:row + 3 * w] if not to_grey else to_grey(b[row:row + 3 * w])
        if a[row:row + 3 * w] == exp:
            continue
        for x in range(w):
            i = row + 3 * x
            if a[i:i + 3] != exp[3 * x:3 * x + 3]:
                if mx <= x < mx + mw and my <= y < my + mh:
                    inside_differs += 1
                else:
                    fail("%s differs at (%d, %d): %s, screen %s" % (name, x, y, list(a[i:i + 3]),
                                                                     list(exp[3 * x:3 * x + 3])))
    return inside_differs


GREY_OF = {}


def to_grey(row):
    out = bytearray()
    for i in range(0, len(row), 3):
        rgb = row[i:i + 3]
        if rgb not in GREY_OF:
            g = (rgb[0] * 77 + rgb[1] * 151 + rgb[2] * 28) >> 8
            level = min(GREY, key=lambda v: (abs(v - g), v))
            GREY_OF[rgb] = bytes((level, level, level))
        out += GREY_OF[rgb]
    return bytes(out)


def main(emulator, program, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    log = open(os.path.join(work, "program.log"), "w")
    proc = subprocess.Popen([emulator, program, "Z:" + work.replace("/", "\\")], stdout=log, stderr=log)
    try:
        wait_for(os.path.join(work, "ready"), proc, 90)
        for n in range(6):
            before = xwd(os.path.join(work, "before.%d.ppm" % n))
            open(os.path.join(work, "go.%d" % n), "w").close()
            wait_for(os.path.join(work, "done.%d" % n), proc, 60)
            after = xwd(os.path.join(work, "after.%d.ppm" % n))
            if before == after:
                break
            print("screen changed during capture %d, again" % n)
        else:
            fail("the screen never stood still")
        cursor = open(os.path.join(work, "cursor.%d.txt" % n)).read().split()
        mask = tuple(int(v) for v in cursor) if cursor != ["none"] else (0, 0, 0, 0)
        colour = decode(os.path.join(work, "shot.%d.png" % n), os.path.join(work, "shot.ppm"))
        drawn = compare("colour PNG", colour, after, mask, None)
        grey = decode(os.path.join(work, "grey.%d.png" % n), os.path.join(work, "grey.ppm"))
        compare("grey PNG", grey, after, mask, to_grey)
        if mask == (0, 0, 0, 0) or drawn == 0:
            fail("no cursor drawn into the screenshot (cursor %s)" % cursor)
        print("screenshot %dx%d matches the screen; cursor at %s changed %d pixels" %
              (colour[0], colour[1], mask, drawn))
        artifacts = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "artifacts")
        os.makedirs(artifacts, exist_ok=True)
        shutil.copyfile(os.path.join(work, "shot.%d.png" % n), os.path.join(artifacts, "screenShot.png"))
    finally:
        open(os.path.join(work, "quit"), "w").close()
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
    if proc.returncode != 0:
        fail("capture program ended with %d" % proc.returncode)


if __name__ == "__main__":
    main(*sys.argv[1:4])
