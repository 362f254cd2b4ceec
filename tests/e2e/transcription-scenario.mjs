// Transcription as an agent uses it, through the official MCP TypeScript SDK client, on the simulated
// iPhone whose speaking app plays an episode read by a speech synthesiser: record while it plays and
// listen live while other tools are called, then transcribe the recording into timed lines and subtitles.
// Usage: node transcription-scenario.mjs <server url>
// Prints one JSON object: {ok, steps: [{step, ok, ms, detail}]}.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { existsSync, readFileSync } from "node:fs";
import { expect, scenario, sleep, texts } from "./scenario.mjs";

const client = new Client({ name: "pokescope-transcription", version: "1.0.0" });
const transport = new StreamableHTTPClientTransport(new URL(process.argv[2]));
const { out, call, phone, until, step } = scenario(client);
const first = async (name, args, timeout) => {
    const result = await call(name, args, timeout);
    return { error: result.isError === true, text: texts(result)[0] ?? "" };
};
// Transcript rows: "[MM:SS] words".
const rows = (text) => text.split("\n").filter((row) => /^\[\d\d:\d\d\] \S/.test(row));

try {
    await client.connect(transport);
    await step("the transcription tools are offered and nothing has been heard yet", async () => {
        let status = "";
        for (let i = 0; i < 60 && !status.includes("bluetooth: ready"); ++i) {
            status = (await first("status")).text;
            if (!status.includes("bluetooth: ready")) await sleep(500);
        }
        expect(status.includes("bluetooth: ready"), status);
        expect(status.includes("\ntranscription: on\nlistening: off\n"), status);
        const names = (await client.listTools()).tools.map((t) => t.name);
        for (const name of ["transcribe", "start_listening", "get_transcript", "stop_listening"])
            expect(names.includes(name), `${name} missing from ${names}`);
        let answer = await first("get_transcript");
        expect(answer.error && answer.text === "Nothing to read: call start_listening first.", answer.text);
        answer = await first("stop_listening");
        expect(answer.error && answer.text === "Not listening. Call start_listening first.", answer.text);
        answer = await first("transcribe", { path: "/nonexistent/clip.mp4" });
        expect(answer.error && answer.text === "No file at /nonexistent/clip.mp4.", answer.text);
        answer = await first("transcribe", { language: "fr-FR" });
        expect(answer.error && answer.text === "No recordings yet. Record one with start_recording, or pass a file path.",
            answer.text);
        return status;
    });
    await step("calibrate", async () => {
        const answer = await first("calibrate", {}, 180000);
        expect(!answer.error, answer.text);
        return answer.text;
    });
    let movie = null;
    await step("record and listen while the episode plays", async () => {
        let answer = await first("open_app", { name: "Podcasts" });
        expect(!answer.error, answer.text);
        expect((await until((s) => s.location === "Podcasts")).location === "Podcasts", "Podcasts did not open");
        answer = await first("start_recording", { audio: true, overlay: true });
        const match = /^Recording started with iPhone audio → (.+\.mp4)\. Call stop_recording when done\.$/.exec(answer.text);
        expect(match, answer.text);
        movie = match[1];
        answer = await first("start_listening", { max_seconds: 300 });
        expect(answer.text === "Listening to the iPhone's sound (en-US). Call get_transcript to read it as it comes in, " +
            "stop_listening to finish.", answer.text);
        answer = await first("start_listening");
        expect(answer.error && answer.text.startsWith("Already listening."), answer.text);
        const status = (await first("status")).text;
        expect(/\nlistening: on \(en-US, \d+ s\)\n/.test(status), status);
        // The phone speaks from the tap on: on a busy machine, the tap's screenshot (after the screen's
        // longest settle, as the playing progress bar never rests) may come when the speaking is nearly
        // done, so the phone is watched meanwhile.
        const tapping = first("tap_text", { text: "Play" });
        const started = await until((s) => s.speaking, 15000);
        answer = await tapping;
        expect(!answer.error, answer.text);
        expect(started.speaking, "the episode did not start");
        // The agent keeps acting while the phone speaks.
        let shots = 0;
        for (let i = 0; i < 60 && (await phone()).speaking; ++i) {
            const shot = await call("screenshot", { include_text: false });
            expect(!shot.isError, texts(shot).join("\n"));
            ++shots;
            await sleep(300);
        }
        expect(!(await phone()).speaking, "the episode never ended");
        await sleep(1500); // the last stretch ends 0.8 s after the last sound
        return `${shots} screenshots while the phone spoke`;
    });
    let heard = [];
    await step("get_transcript, then stop_listening", async () => {
        let answer = await first("get_transcript");
        expect(!answer.error && /^Listening for \d+ s so far\.\n/.test(answer.text), answer.text);
        heard = rows(answer.text);
        expect(heard.length > 0, answer.text);
        const later = await first("get_transcript", { since_seconds: 100000 });
        expect(/\n\(no speech detected\)$/.test(later.text), later.text);
        answer = await first("stop_listening");
        expect(!answer.error && /^Listened for \d+ s\.\n\[\d\d:\d\d\] /.test(answer.text), answer.text);
        expect(rows(answer.text).length >= heard.length, answer.text);
        answer = await first("stop_listening");
        expect(!answer.error && answer.text.startsWith("Already stopped. Transcript:\n"), answer.text);
        answer = await first("get_transcript");
        expect(/^Stopped after \d+ s\.\n/.test(answer.text), answer.text);
        expect((await first("status")).text.includes("\nlistening: off\n"), "still listening");
        return rows(answer.text).join(" | ");
    });
    await step("transcribe the recording into lines and subtitles", async () => {
        let answer = await first("transcribe");
        expect(answer.error && answer.text === "That recording is still running. Call stop_recording first.", answer.text);
        answer = await first("stop_recording");
        expect(!answer.error && answer.text.endsWith(`: ${movie}.`), answer.text);
        answer = await first("transcribe", {}, 120000);
        const name = movie.split("/").pop();
        const subtitles = movie.replace(/\.mp4$/, ".srt");
        expect(!answer.error && answer.text.startsWith(`Transcript of ${name} (en-US). Subtitles saved to ${subtitles}.\n`),
            answer.text);
        const lines = rows(answer.text);
        expect(lines.length > 0, answer.text);
        expect(existsSync(subtitles), `no ${subtitles}`);
        const srt = readFileSync(subtitles, "utf8");
        const blocks = srt.split("\n\n");
        expect(blocks.length === lines.length, `${blocks.length} cues for ${lines.length} lines:\n${srt}`);
        blocks.forEach((block, i) => {
            const [number, times, text] = block.split("\n");
            expect(number === String(i + 1), block);
            expect(/^\d\d:\d\d:\d\d,\d\d\d --> \d\d:\d\d:\d\d,\d\d\d$/.test(times), block);
            expect(lines[i].endsWith(text), `${lines[i]} / ${text}`);
        });
        expect(srt.endsWith("\n") && !srt.endsWith("\n\n"), JSON.stringify(srt.slice(-20)));
        answer = await first("transcribe", { path: movie, language: "fr-FR" });
        expect(answer.error && answer.text.startsWith("No offline speech model for fr-FR on this computer. Available: en-US. "),
            answer.text);
        return lines.join(" | ");
    });
    await client.close();
} catch (error) {
    out.ok = false;
    out.error = String(error?.stack ?? error);
}
process.stdout.write(JSON.stringify(out) + "\n");
process.exit(out.ok ? 0 : 1);
