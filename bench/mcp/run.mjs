// Drives Pokescope's agent server, the SDK baseline and plain Node http with the same wrk load in one run
// and prints requests per second and latency percentiles side by side.
// Usage: node bench/mcp/run.mjs [seconds per run]
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const root = join(here, "../..");
const seconds = Number(process.argv[2] ?? 5);
const connections = [1, 16, 64];
const home = mkdtempSync(join(tmpdir(), "pokescope-bench-"));
const children = [];

function start(command, args, readyText, env = {}) {
    const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
    children.push(child);
    return new Promise((resolve, reject) => {
        let seen = "";
        const timer = setTimeout(() => reject(new Error(`${command} did not start: ${seen}`)), 30000);
        const onData = (data) => {
            seen += data;
            if (seen.includes(readyText)) {
                clearTimeout(timer);
                resolve(child);
            }
        };
        child.stdout.on("data", onData);
        child.stderr.on("data", onData);
    });
}

async function post(port, body) {
    const response = await fetch(`http://127.0.0.1:${port}/mcp`, {
        method: "POST",
        headers: { "Content-Type": "application/json", Accept: "application/json, text/event-stream" },
        body,
    });
    return response.json();
}

function wrk(port, script, connectionCount) {
    const output = execFileSync("wrk", ["-t1", `-c${connectionCount}`, `-d${seconds}s`, "--latency", "-s",
        join(here, script), `http://127.0.0.1:${port}/mcp`], { encoding: "utf8" });
    const rps = Number(/Requests\/sec:\s+([\d.]+)/.exec(output)[1]);
    const unit = (text) => {
        const [, value, suffix] = /([\d.]+)(us|ms|s)/.exec(text);
        return Number(value) * (suffix === "us" ? 0.001 : suffix === "ms" ? 1 : 1000);
    };
    const p50 = unit(/\s50%\s+(\S+)/.exec(output)[1]);
    const p99 = unit(/\s99%\s+(\S+)/.exec(output)[1]);
    const errors = /Non-2xx or 3xx responses: (\d+)/.exec(output)?.[1] ?? "0";
    const socketErrors = /Socket errors: (.*)/.exec(output)?.[1] ?? "";
    return { rps, p50, p99, errors: Number(errors), socketErrors };
}

try {
    const ports = { pokescope: 47911, sdk: 47912, node: 47913 };
    await start(join(root, "build/release/pokescope"), ["--headless", "--port", String(ports.pokescope)],
        "mcp: listening on", { HOME: home, XDG_CONFIG_HOME: "", XDG_STATE_HOME: "", XDG_DATA_HOME: "" });
    const tools = (await post(ports.pokescope, '{"jsonrpc":"2.0","id":1,"method":"tools/list"}')).result.tools;
    const toolsFile = join(home, "tools.json");
    writeFileSync(toolsFile, JSON.stringify(tools));
    await start("node", [join(here, "sdk-server.mjs"), String(ports.sdk), toolsFile], "listening");
    await start("node", [join(here, "node-http.mjs"), String(ports.node), toolsFile], "listening");

    // Each server answers the same requests correctly before it is timed.
    for (const [name, port] of Object.entries(ports)) {
        const pong = await post(port, '{"jsonrpc":"2.0","id":1,"method":"ping"}');
        const list = await post(port, '{"jsonrpc":"2.0","id":2,"method":"tools/list"}');
        if (JSON.stringify(pong.result) !== "{}" || list.result.tools.length !== tools.length)
            throw new Error(`${name} answered wrongly: ${JSON.stringify(pong)}`);
    }

    console.log(`wrk -t1, ${seconds} s per run, loopback, ${tools.length} tools in tools/list`);
    console.log("method      conns  server      req/s      p50 ms   p99 ms  vs SDK");
    for (const [method, script] of [["ping", "ping.lua"], ["tools/list", "tools-list.lua"]]) {
        for (const count of connections) {
            const results = {};
            for (const [name, port] of Object.entries(ports)) results[name] = wrk(port, script, count);
            for (const [name, r] of Object.entries(results)) {
                const ratio = (r.rps / results.sdk.rps).toFixed(1);
                const problems = r.errors || r.socketErrors ? `  (non-2xx ${r.errors}; sockets ${r.socketErrors})` : "";
                console.log(`${method.padEnd(11)} ${String(count).padStart(5)}  ${name.padEnd(10)} ${r.rps.toFixed(0).padStart(8)}  ` +
                    `${r.p50.toFixed(3).padStart(8)} ${r.p99.toFixed(3).padStart(8)}  ${ratio.padStart(5)}x${problems}`);
            }
        }
    }
} finally {
    for (const child of children) child.kill("SIGTERM");
    rmSync(home, { recursive: true, force: true });
}
