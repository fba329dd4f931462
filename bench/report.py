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
    return rows


def main(micro_json, contention_txt, serve_txt=None):
    with open(micro_json) as file:
        micro = json.load(file)
    times = {}
    counters = {}
    for run in micro["benchmarks"]:
        unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run["time_unit"]]
        times[run["name"]] = run["real_time"] * unit  # milliseconds
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
    ratio_row("get_frame_data, 300 KB frame", "BM_GetFrameData", "BM_NaiveFetch", "<= 1.1x")
    ratio_row("get_frame_data vs copying the payload once", "BM_GetFrameData", "BM_MemcpyPayloadOut", "(floor)")
    rows.append(("  of which: map + fault the colour record", f"{times['BM_MapAndFaultSegment']:.3f} ms", "", "", ""))
    rows.append(("  of which: allocate + fault a private record", f"{times['BM_AllocateAndFaultRecord']:.3f} ms", "", "", ""))
    rows.append(("  of which: one hot copy of the record", f"{times['BM_MemcpyRecordHot']:.3f} ms", "", "", ""))
    hold, hot = contention["hold.median_ms"], contention["hold.record_memcpy_hot_ms"]
    rows.append(("reader's hold of rgbMutex (median)", f"{hold:.3f} ms", f"{hot:.3f} ms (hot record memcpy)",
                 f"{hold / hot:.2f}x", "<= 2x"))
    rows.append(("reader's hold of rgbMutex (p99)", f"{contention['hold.p99_ms']:.3f} ms", "", "", ""))
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
    rows.append(("capture loop with its 33 ms pause", f"{contention['capture.frames_per_second_at_30']:.1f} fps", "", "", "<= 30"))

    if serve_txt:
        rows.extend(serve_rows(read_pairs(serve_txt)))

    header = ("measure", "value", "baseline", "ratio", "target")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(5)]
    def line(row):
        return "| " + " | ".join(str(cell).ljust(widths[i]) for i, cell in enumerate(row)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))


if __name__ == "__main__":
    main(*sys.argv[1:4])
