#!/usr/bin/env python3
"""Prints one table from micro_bench's JSON, contention_bench's lines and
(optionally) serve_bench's lines:
each figure beside its baseline from the same run, with the ratio and the
target."""
import json
import sys


def read_pairs(path):
    pairs = {}
    with open(path) as file:
        for line in file:
            key, value = line.split()
            pairs[key] = float(value)
    return pairs


def serve_rows(serve):
    call = serve["baseline.get_frame_data_cpu_ms"]
    base = f"{call:.3f} ms (one get_frame_data)"
    rows = [("frameshare serve, nobody watching: CPU", f"{serve['idle.cpu_ms_per_s']:.1f} ms/s", "", "", "")]
    for viewers in (1, 4, 8):
        key = f"viewers{viewers}"
        rows.append((f"frameshare serve, {viewers} viewer(s) at {serve[key + '.frames_per_viewer_per_s']:.1f} fps: "
                     "CPU per viewer per frame", f"{serve[key + '.cpu_ms_per_viewer_frame']:.3f} ms", base,
                     f"{serve[key + '.ratio']:.2f}x", ""))
    rows.append(("frameshare serve: CPU of one more viewer frame", f"{serve['marginal.cpu_ms_per_viewer_frame']:.3f} ms",
                 base, f"{serve['marginal.ratio']:.2f}x", ""))
    if "reencode.frame_bytes_ratio" in serve:
        passthrough = serve["viewers1.mbit_per_viewer"]
        rows.append(("frameshare serve --quality 70 --width 1280: Mbit/s per viewer at "
                     f"{serve['reencode.viewers1.frames_per_viewer_per_s']:.1f} fps",
                     f"{serve['reencode.viewers1.mbit_per_viewer']:.1f}",
                     f"{passthrough:.1f} (pass-through at {serve['viewers1.frames_per_viewer_per_s']:.1f} fps)",
                     f"{serve['reencode.bandwidth_ratio']:.2f}x", ""))
        rows.append(("frameshare serve --quality 70 --width 1280: bytes per frame", "", "pass-through's",
                     f"{serve['reencode.frame_bytes_ratio']:.2f}x", "<= 0.2x"))
        rows.append(("frameshare serve --quality 70 --width 1280: CPU, 8 viewers",
                     f"{serve['reencode.viewers8.cpu_ms_per_s']:.1f} ms/s",
                     f"{serve['reencode.viewers1.cpu_ms_per_s']:.1f} ms/s (1 viewer)",
                     f"{serve['reencode.cpu_8_over_1']:.2f}x", "<= 1.3x"))
    if "hostile.peak_mb" in serve:
        rows.append(("frameshare serve: peak memory under hostile clients", f"{serve['hostile.peak_mb']:.1f} MB",
                     f"{serve['hostile.peak_before_mb']:.1f} MB (before them)",
                     f"{serve['hostile.peak_mb'] / serve['hostile.peak_before_mb']:.2f}x", "< 64 MB"))
    return rows


def reader_rows(reader):
    """libframeshare's lasting reader (bench/reader_bench)."""
    memcpy, nxt, fetch = (reader[f"copy.{key}_600k_us"] / 1000 for key in ("memcpy", "next", "get_frame_data"))
    hot = f"{memcpy:.4f} ms (hot payload memcpy)"
    rows = [("frameshare_reader_next, new 600 KB frame", f"{nxt:.4f} ms", hot, f"{nxt / memcpy:.2f}x", "<= 1.3x"),
            ("get_frame_data, 600 KB frame (for comparison)", f"{fetch:.4f} ms", hot, f"{fetch / memcpy:.1f}x", "")]
    for lang, name in (("live", "C"), ("python", "Python, frame.jpeg")):
        published, seen = reader[f"{lang}.published"], reader[f"{lang}.seen"]
        rows.append((f"30 fps producer, 1 reader on next() ({name}): frames returned",
                     f"{seen:.0f} ({100 * seen / published:.1f} %)", f"{published:.0f} published", "", ">= 99 %"))
        rows.append((f"30 fps producer, 1 reader on next() ({name}): delay from steady_us, median / p99",
                     f"{reader[lang + '.delay_median_ms']:.2f} / {reader[lang + '.delay_p99_ms']:.2f} ms", "", "",
                     "median <= 2 ms"))
        rows.append((f"30 fps producer, 1 reader on next() ({name}): reader CPU",
                     f"{reader[lang + '.cpu_percent']:.2f} % of a core", "", "", "<= 3 %"))
    base = reader["publish.none.median_ms"]
    for mode, what in (("none", "no reader"), ("get_frame_data", "4 get_frame_data readers at 30 Hz"),
                       ("next", "4 readers looping on next()")):
        rows.append((f"publish 300 KB at 30 Hz, {what}: median / p99 / max",
                     f"{reader[f'publish.{mode}.median_ms']:.3f} / {reader[f'publish.{mode}.p99_ms']:.3f} / "
                     f"{reader[f'publish.{mode}.max_ms']:.3f} ms", f"{base:.3f} ms (no reader)",
                     f"{reader[f'publish.{mode}.median_ms'] / base:.2f}x", "no slower" if mode == "next" else ""))
    return rows


def main(micro_json, contention_txt, serve_txt=None, reader_txt=None):
    with open(micro_json) as file:
        micro = json.load(file)
    times = {}
    counters = {}
    for run in micro["benchmarks"]:
        unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run["time_unit"]]
        # CPU time of the process (user and system): what other load on a
        # shared machine does to wall time does not count.
        times[run["name"]] = run["cpu_time"] * unit  # milliseconds
        counters[run["name"]] = run
    contention = {}
    with open(contention_txt) as file:
        for line in file:
            key, value = line.split()
            contention[key] = float(value)

    context = micro["context"]
    print(f"Machine: {context.get('host_name', '?')}, {context['num_cpus']} CPUs at {context['mhz_per_cpu']} MHz")
    rows = []

    def ratio_row(what, name, base_name, target):
        value, base = times[name], times[base_name]
        rows.append((what, f"{value:.3f} ms", f"{base:.3f} ms ({base_name})", f"{value / base:.2f}x", target))

    for size in ("300000", "2400000"):
        ratio_row(f"publish {int(size) // 1000} KB", f"BM_Publish/{size}", f"BM_MemcpyIntoSegment/{size}", "<= 1.2x")
        allocations = counters[f"BM_Publish/{size}"].get("allocations", 0)
        rows.append((f"allocations while publishing {int(size) // 1000} KB", f"{allocations:.0f}", "", "", "0"))
    for size in ("300000", "600000", "2400000"):
        ratio_row(f"get_frame_data, {int(size) // 1000} KB frame", f"BM_GetFrameData/{size}",
                  f"BM_FetchFloor/{size}", "<= 1.5x")
    previous, now = times["BM_PreviousGetFrameData/600000"], times["BM_GetFrameData/600000"]
    rows.append(("previous get_frame_data, 600 KB frame", f"{previous:.3f} ms", f"{now:.3f} ms (get_frame_data)",
                 f"{previous / now:.1f}x slower", ">= 5x"))
    for size in ("300000", "2400000"):
        hold = counters[f"BM_ReaderHoldOfRgbMutex/{size}"]
        hot = times[f"BM_MemcpyPayloadHot/{size}"]
        median_ms, p99_ms = hold["hold_median_us"] / 1000, hold["hold_p99_us"] / 1000
        rows.append((f"reader's hold of rgbMutex, {int(size) // 1000} KB (median / p99)",
                     f"{median_ms:.4f} / {p99_ms:.4f} ms", f"{hot:.4f} ms (hot payload memcpy)",
                     f"{median_ms / hot:.2f}x", "<= 1.3x"))
    for scenario, readers in (("one", 1), ("four", 4)):
        rows.append((f"{readers} reader(s) at 30 Hz: calls served per s", f"{contention[scenario + '.calls_per_second']:.1f}",
                     f"{30 * readers} asked", "", f"{30 * readers}"))
        rows.append((f"{readers} reader(s) at 30 Hz: producer waits median / p99 / max",
                     f"{contention[scenario + '.wait_median_ms']:.3f} / {contention[scenario + '.wait_p99_ms']:.3f} / "
                     f"{contention[scenario + '.wait_max_ms']:.3f} ms", "", "", "p99 <= 0.3 ms" if readers == 1 else ""))
    encode = times["BM_JpegEncode1080p"]
    jpeg_bytes = counters["BM_JpegEncode1080p"].get("jpeg_bytes", 0)
    rows.append(("JPEG encode 1920x1080 q95", f"{encode:.2f} ms", f"{jpeg_bytes / 1000:.0f} KB out", "", ""))
    rows.append(("capture loop, no pause (read+encode+publish)", f"{contention['capture.frames_per_second_unpaced']:.1f} fps",
                 "", "", ""))

    if serve_txt:
        rows.extend(serve_rows(read_pairs(serve_txt)))
    if reader_txt:
        rows.extend(reader_rows(read_pairs(reader_txt)))

    header = ("measure", "value", "baseline", "ratio", "target")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(5)]
    def line(row):
        return "| " + " | ".join(str(cell).ljust(widths[i]) for i, cell in enumerate(row)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))


if __name__ == "__main__":
    main(*sys.argv[1:5])
