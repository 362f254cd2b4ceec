// An agent's session with Pokescope on the simulated iPhone, through the official MCP TypeScript SDK
// client: every step is checked on the phone's own state (the debug_simulator tool of a simulated run), not only on
// the tool's answer. The phone may be any model POKESCOPE_SIM names: what the steps expect of the screen
// follows the model the phone reports.
// Usage: node agent-scenario.mjs <server url>
//        node agent-scenario.mjs --stdio '<JSON array: command and arguments>'
// Prints one JSON object: {ok, steps: [{step, ok, ms, detail}]}.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { execFileSync } from "node:child_process";
import { expect, scenario, sleep, texts } from "./scenario.mjs";

const args = process.argv.slice(2);
const stdio = args[0] === "--stdio";
const target = stdio ? args[1] : args[0];
const client = new Client({ name: "pokescope-scenario", version: "1.0.0" });
const transport = stdio
    ? new StdioClientTransport({ command: JSON.parse(target)[0], args: JSON.parse(target).slice(1), env: { ...process.env }, stderr: "ignore" })
    : new StreamableHTTPClientTransport(new URL(target));
const { out, call, phone, until, step } = scenario(client);

// Width and height from a JPEG's start-of-frame marker.
function jpegSize(base64) {
    const b = Buffer.from(base64, "base64");
    for (let i = 2; i + 9 < b.length; ) {
        if (b[i] !== 0xff) return null;
        const marker = b[i + 1];
        const length = b.readUInt16BE(i + 2);
        if (marker >= 0xc0 && marker <= 0xc3) return [b.readUInt16BE(i + 7), b.readUInt16BE(i + 5)];
        i += 2 + length;
    }
    return null;
}

// What each model's phone reports and shows.
const models = {
    "iphone-se": { name: "iPhone SE (3rd gen)", width: 750, height: 1334 },
    "iphone-13-mini": { name: "iPhone 13 mini", width: 1080, height: 2340 },
    "iphone-14-pro": { name: "iPhone 14 Pro", width: 1179, height: 2556 },
    "iphone-15-pro-max": { name: "iPhone 15 Pro Max", width: 1290, height: 2796 },
};
let model = models["iphone-14-pro"];
let shotSize = [590, 1279]; // the screenshot's size, from the first screenshot
// The screenshot's size for a frame: its shorter side scaled to 590 pixels, never enlarged.
const screenshotSize = (w, h) => {
    const ratio = Math.min(w, h) / 590;
    return ratio <= 1 ? [w, h] : [Math.round(w / ratio), Math.round((h * Math.round(w / ratio)) / w)];
};

try {
    await client.connect(transport);
    model = models[/model=([a-z0-9-]+)/.exec((await phone()).settings)[1]];
    await step("the phone connects over Bluetooth", async () => {
        let status = "";
        for (let i = 0; i < 60 && !status.includes("bluetooth: ready"); ++i) {
            status = texts(await call("status"))[0];
            if (!status.includes("bluetooth: ready")) await sleep(500);
        }
        expect(status.includes("bluetooth: ready"), status);
        expect(status.startsWith(`usb: Simulated iPhone (${model.name}, iOS 17.5.1)`), status);
        expect((await until((s) => s.assistiveTouch)).assistiveTouch, "AssistiveTouch stayed off");
        return status;
    });
    await step("screenshot", async () => {
        const result = await call("screenshot");
        expect(!result.isError, JSON.stringify(result));
        const image = result.content[0];
        expect(image.type === "image" && image.mimeType === "image/jpeg", "no JPEG first");
        const size = jpegSize(image.data);
        // The phone's picture scaled down: what the agent sees and taps in.
        const wanted = screenshotSize(model.width, model.height);
        expect(size && size[0] === wanted[0] && size[1] === wanted[1], `size ${size}, not ${wanted}`);
        shotSize = size;
        const text = result.content[1].text;
        expect(text.startsWith(`Screenshot ${size[0]}x${size[1]} (coordinates for tap/swipe are in this space).`), text);
        const settings = text.split("\n").find((line) => line.startsWith('"Settings" @ ('));
        expect(settings, text);
        const [x, y] = settings.match(/\((\d+), (\d+)\)/).slice(1).map(Number);
        // The Settings label sits under the first icon of the first row.
        expect(x > 0.04 * size[0] && x < 0.25 * size[0] && y > 0.08 * size[1] && y < 0.25 * size[1], settings);
        return settings;
    });
    await step("calibrate", async () => {
        const result = await call("calibrate", {}, 300000);
        const text = texts(result)[0];
        expect(!result.isError && /^Calibrated: \d+\.\d\d x \d+\.\d\d screen px per unit\.$/.test(text), text);
        return text;
    });
    await step("open_app Settings", async () => {
        const result = await call("open_app", { name: "Settings" });
        expect(!result.isError, texts(result).join("\n"));
        const state = await until((s) => s.location === "Settings");
        expect(state.location === "Settings", state.location);
        return state.location;
    });
    await step("tap_text General", async () => {
        // A small phone shows fewer rows: General may be below the fold, as an agent would find.
        const found = await call("scroll_to", { text: "General" }, 300000);
        expect(!found.isError, texts(found).join("\n"));
        const result = await call("tap_text", { text: "General" });
        expect(!result.isError, texts(result).join("\n"));
        const state = await until((s) => s.location === "Settings/General");
        expect(state.location === "Settings/General", state.location);
        expect(texts(result).join("\n").includes('"About" @ ('), texts(result).join("\n"));
        return state.location;
    });
    await step("press_key back", async () => {
        const result = await call("press_key", { key: "Back" });
        expect(!result.isError, texts(result).join("\n"));
        expect(texts(result)[0].startsWith("Back: "), texts(result)[0]);
        const state = await until((s) => s.location === "Settings");
        expect(state.location === "Settings", state.location);
        return texts(result)[0];
    });
    await step("scroll_to Developer", async () => {
        const result = await call("scroll_to", { text: "Developer" }, 300000);
        const first = texts(result)[0];
        expect(!result.isError && /^Found "Developer" at \(\d+, \d+\) after \d+ scroll\(s\)\.$/.test(first), first);
        // The place found is the place in the screenshot it returns.
        const at = first.match(/at (\(\d+, \d+\))/)[1];
        expect(texts(result).join("\n").includes(`"Developer" @ ${at}`), texts(result).join("\n"));
        return first;
    });
    await step("press_key home", async () => {
        const result = await call("press_key", { key: "home" });
        expect(!result.isError, texts(result).join("\n"));
        const state = await until((s) => s.location === "home");
        expect(state.location === "home", state.location);
        return state.location;
    });
    await step("the phone's own records: apps, log, crash reports, state", async () => {
        const settings = (await phone()).settings;
        const crashes = settings.split(",").includes("crash-on-open=Podcasts");
        const times = {};
        const timed = async (name, args) => {
            const started = Date.now();
            const result = await call(name, args);
            times[name] = Date.now() - started;
            expect(!result.isError, `${name}: ${texts(result).join("\n")}`);
            return texts(result)[0];
        };
        const info = await timed("device_info");
        expect(info.startsWith(`name: Simulated iPhone\nmodel: ${model.name} (`) &&
            info.includes(`\nscreen: ${model.width} x ${model.height} pixels\n`) &&
            info.includes("\nstorage: 71.4 GB free of 128 GB\n") && info.endsWith("\ntrusted: yes\nAssistiveTouch: on"), info);
        const apps = await timed("list_apps", { include_system: true });
        expect(apps.includes("\nPodcasts — com.apple.podcasts — ") && apps.includes("\nSettings — com.apple.Preferences — "), apps);
        const opened = await call("open_app", { name: "Podcasts" });
        expect(!opened.isError, texts(opened).join("\n"));
        // A crashing app is back on the Home Screen; the others stay open.
        const state = await until((s) => s.location === (crashes ? "home" : "Podcasts"));
        expect(state.location === (crashes ? "home" : "Podcasts"), state.location);
        const log = await timed("device_log", { process: "Podcasts" });
        expect(log.includes("Podcasts(UIKitCore)[") && log.includes("Application did finish launching (com.apple.podcasts "), log);
        expect(log.includes("Terminating app") === crashes, log);
        let list = "";
        for (let i = 0; i < 10 && !(crashes && list.includes(" — Podcasts — ")); ++i) {
            list = await timed("crash_reports");
            if (crashes && !list.includes(" — Podcasts — ")) await sleep(300);
        }
        const name = / — Podcasts — (Podcasts-[0-9-]+\.ips)/.exec(list)?.[1];
        expect(Boolean(name) === crashes, list);
        if (crashes) {
            const report = texts(await call("crash_reports", { name }))[0];
            expect(report.startsWith(`Crash report ${name} (`) && report.includes('"bundleID":"com.apple.podcasts"'), report.slice(0, 300));
        }
        expect(!(await call("press_key", { key: "home" })).isError, "could not go home");
        expect((await until((s) => s.location === "home")).location === "home", "not back home");
        return `${crashes ? `crashed: ${name}` : "opened Podcasts"}; ms ${JSON.stringify(times)}`;
    });
    let movie = null;
    await step("start_recording", async () => {
        const result = await call("start_recording", { audio: true, overlay: true });
        const first = texts(result)[0];
        const match = /^Recording started( with iPhone audio)? → (.+\.mp4)\. Call stop_recording when done\.$/.exec(first);
        expect(!result.isError && match, first);
        movie = match[2];
        const status = texts(await call("status"))[0];
        expect(/\nrecording: on \(\d+ s\)(\n|$)/.test(status), status);
        return first;
    });
    await step("type_text into Notes", async () => {
        let result = await call("open_app", { name: "Notes" });
        expect(!result.isError, texts(result).join("\n"));
        expect((await until((s) => s.location === "Notes")).location === "Notes", "Notes did not open");
        // Below the first line: the pointer disc stays there a while.
        result = await call("tap", { x: Math.round(shotSize[0] / 2), y: Math.round(shotSize[1] * 0.55) });
        expect(!result.isError, texts(result).join("\n"));
        result = await call("type_text", { text: "Hello from the agent" });
        expect(!result.isError, texts(result).join("\n"));
        const state = await until((s) => s.field.endsWith("Hello from the agent"));
        expect(state.field.endsWith("Hello from the agent"), JSON.stringify(state.field));
        const shot = texts(await call("screenshot")).join("\n");
        expect(shot.includes("Hello from the agent"), shot);
        return state.field;
    });
    await step("stop_recording: a movie with the typing drawn on it", async () => {
        const result = await call("stop_recording");
        const first = texts(result)[0];
        expect(!result.isError && first.startsWith("Saved ") && first.endsWith(`: ${movie}.`), first);
        const probe = JSON.parse(execFileSync("ffprobe", ["-v", "error", "-print_format", "json", "-show_streams",
            "-show_format", movie]).toString());
        const video = probe.streams.find((s) => s.codec_type === "video");
        const audio = probe.streams.find((s) => s.codec_type === "audio");
        expect(video && video.codec_name === "h264" && video.profile === "High", JSON.stringify(video));
        expect(video.width === (model.width & ~1) && video.height === (model.height & ~1), `${video.width}x${video.height}`);
        expect(audio && audio.codec_name === "aac" && Number(audio.sample_rate) === 48000 && audio.channels === 2,
            JSON.stringify(audio));
        const seconds = Number(probe.format.duration);
        expect(seconds > 2, `duration ${seconds}`);
        expect((await call("stop_recording")).isError === true, "a second stop succeeded");
        return `${first} (${video.width}x${video.height} ${video.profile}, ${seconds.toFixed(1)} s, audio ${audio.codec_name})`;
    });
    await step("batch with a failing action", async () => {
        const result = await call("batch", {
            actions: [{ tool: "press_key", arguments: { key: "home" } }, { tool: "press_key", arguments: {} }],
        });
        expect(result.isError === true, JSON.stringify(texts(result)));
        const log = texts(result)[0];
        expect(log === "✓ 1. press_key\n✗ 2. press_key: key is required — stopped here", log);
        expect(result.content[1].type === "image", "no screenshot after the batch");
        const state = await until((s) => s.location === "home");
        expect(state.location === "home", state.location);
        return log;
    });
    await step("status after calibration", async () => {
        const status = texts(await call("status"))[0];
        expect(/pointer calibration: \d+\.\d\d x \d+\.\d\d px\/unit/.test(status), status);
        return status;
    });
    await client.close();
} catch (error) {
    out.ok = false;
    out.error = String(error?.stack ?? error);
}
process.stdout.write(JSON.stringify(out) + "\n");
process.exit(out.ok ? 0 : 1);
