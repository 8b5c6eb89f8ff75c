# Reads capture files back with readers that are not ours, and prints what they read, one line
# each, for the capture tests to compare:
#   file PATH                 before each file's lines
#   message TICK HEX          a MIDI file's event, at its tick since the start ("90 3C 40")
#   marker TICK TEXT          a MIDI file's marker
#   row FIELD<TAB>FIELD...    a CSV file's row, header included
#   error WHAT                the reader failed
import csv
import sys

import mido


def read_midi(path):
    midi = mido.MidiFile(path)
    if midi.type != 0 or len(midi.tracks) != 1 or midi.ticks_per_beat != 500:
        raise ValueError("not a format 0 file of one track at 500 ticks a quarter")
    # mido reads a track without its end; a sequencer may not.
    if not midi.tracks[0] or midi.tracks[0][-1].type != "end_of_track":
        raise ValueError("the track does not end with an end of track")
    tick = 0
    tempo = None
    for msg in midi.tracks[0]:
        tick += msg.time
        if msg.type == "set_tempo":
            tempo = msg.tempo
        elif msg.type == "marker":
            print("marker", tick, msg.text)
        elif not msg.is_meta:
            print("message", tick, msg.hex())
    if tempo != 500000:
        raise ValueError("no tempo of 120 beats a minute")


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.reader(f, strict=True):
            print("row\t" + "\t".join(row))


for path in sys.argv[1:]:
    print("file", path)
    try:
        if path.lower().endswith(".csv"):
            read_csv(path)
        else:
            read_midi(path)
    except Exception as e:  # noqa: BLE001 - every failure is the test's finding
        print("error", type(e).__name__, str(e).replace("\n", " "))
