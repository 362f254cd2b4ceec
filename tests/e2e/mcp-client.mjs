// An agent's view of Pokescope: the official MCP TypeScript SDK client, over streamable HTTP or over a
// stdio bridge the client starts as its child process.
// Usage: node mcp-client.mjs <server url> <step>...
//        node mcp-client.mjs --stdio '<JSON array: command and arguments>' <step>...
// Steps: list (tools/list), ping, call:<tool>:<json arguments>, progress:<tool>:<json arguments> (a call that
// asks for progress with a 30 s time-out that each notification resets). Prints one JSON object with the results;
// over stdio it also holds the bridge's exit (code and signal) and what it wrote on standard error.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const args = process.argv.slice(2);
const stdio = args[0] === "--stdio";
const [target, ...steps] = stdio ? args.slice(1) : args;
const client = new Client({ name: "pokescope-e2e", version: "1.0.0" });
const out = { steps: [] };
let transport;
let exited;
if (stdio) {
    const [command, ...commandArgs] = JSON.parse(target);
    transport = new StdioClientTransport({ command, args: commandArgs, env: { ...process.env }, stderr: "pipe" });
    out.bridgeStderr = "";
    transport.stderr.on("data", (chunk) => (out.bridgeStderr += chunk));
} else {
    transport = new StreamableHTTPClientTransport(new URL(target));
}
try {
    await client.connect(transport);
    if (stdio) {
        out.bridgePid = transport.pid;
        // The SDK keeps its child process private; its exit is what shows that the bridge ended by itself.
        exited = new Promise((resolve) =>
            transport._process.once("exit", (code, signal) => resolve({ code, signal })));
    }
    out.serverVersion = client.getServerVersion();
    out.instructions = client.getInstructions();
    out.sessionId = stdio ? null : transport.sessionId ?? null;
    for (const step of steps) {
        if (step === "ping") {
            out.steps.push({ ping: await client.ping() });
        } else if (step === "list") {
            const { tools } = await client.listTools();
            out.steps.push({ tools });
        } else if (step.startsWith("call:") || step.startsWith("progress:")) {
            const [kind, name, ...rest] = step.split(":");
            const args = rest.length ? JSON.parse(rest.join(":")) : {};
            if (kind === "call") {
                out.steps.push({ call: name, result: await client.callTool({ name, arguments: args }) });
            } else {
                const progress = [];
                const options = { onprogress: (p) => progress.push(p), timeout: 30000, resetTimeoutOnProgress: true };
                const result = await client.callTool({ name, arguments: args }, undefined, options);
                for (const item of result.content ?? [])
                    if (item.type === "image")
                        item.data = `${item.data.length} characters of base64`; // kept out of the printed line
                out.steps.push({ call: name, result, progress });
            }
        } else {
            throw new Error(`unknown step ${step}`);
        }
    }
    await client.close();
    if (exited)
        out.bridgeExit = await exited;
    out.ok = true;
} catch (error) {
    out.ok = false;
    out.error = String(error?.stack ?? error);
}
process.stdout.write(JSON.stringify(out) + "\n");
process.exit(out.ok ? 0 : 1);
