// An agent's view of Pokescope: the official MCP TypeScript SDK client over streamable HTTP.
// Usage: node mcp-client.mjs <server url> <step>...
// Steps: list (tools/list), ping, call:<tool>:<json arguments>. Prints one JSON object with the results.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const [url, ...steps] = process.argv.slice(2);
const client = new Client({ name: "pokescope-e2e", version: "1.0.0" });
const transport = new StreamableHTTPClientTransport(new URL(url));
const out = { steps: [] };
try {
    await client.connect(transport);
    out.serverVersion = client.getServerVersion();
    out.instructions = client.getInstructions();
    out.sessionId = transport.sessionId ?? null;
    for (const step of steps) {
        if (step === "ping") {
            out.steps.push({ ping: await client.ping() });
        } else if (step === "list") {
            const { tools } = await client.listTools();
            out.steps.push({ tools });
        } else if (step.startsWith("call:")) {
            const [, name, ...rest] = step.split(":");
            const args = rest.length ? JSON.parse(rest.join(":")) : {};
            out.steps.push({ call: name, result: await client.callTool({ name, arguments: args }) });
        } else {
            throw new Error(`unknown step ${step}`);
        }
    }
    await client.close();
    out.ok = true;
} catch (error) {
    out.ok = false;
    out.error = String(error?.stack ?? error);
}
process.stdout.write(JSON.stringify(out) + "\n");
process.exit(out.ok ? 0 : 1);
