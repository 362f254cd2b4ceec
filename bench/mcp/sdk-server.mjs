// The baseline: a minimal MCP server on the official TypeScript SDK, stateless with JSON responses, the
// way the SDK's documentation sets one up. It serves the same tool list as Pokescope.
// Usage: node sdk-server.mjs <port> <tools.json>
import http from "node:http";
import { readFileSync } from "node:fs";
import { Server } from "@modelcontextprotocol/sdk/server/index.js";
import { StreamableHTTPServerTransport } from "@modelcontextprotocol/sdk/server/streamableHttp.js";
import { ListToolsRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const port = Number(process.argv[2]);
const tools = JSON.parse(readFileSync(process.argv[3], "utf8"));

http.createServer(async (req, res) => {
    let body = "";
    for await (const chunk of req) body += chunk;
    const server = new Server({ name: "sdk-baseline", version: "1.0.0" }, { capabilities: { tools: {} } });
    server.setRequestHandler(ListToolsRequestSchema, async () => ({ tools }));
    const transport = new StreamableHTTPServerTransport({ sessionIdGenerator: undefined, enableJsonResponse: true });
    res.on("close", () => {
        transport.close();
        server.close();
    });
    await server.connect(transport);
    await transport.handleRequest(req, res, JSON.parse(body));
}).listen(port, "127.0.0.1", () => console.log(`listening ${port}`));
