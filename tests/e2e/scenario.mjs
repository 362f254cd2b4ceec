// What the scenario scripts share: tool calls through a connected SDK client, the simulated phone's own
// state (the debug_simulator tool of a simulated run), and steps that record their outcome and time.
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
export const texts = (result) => result.content.filter((c) => c.type === "text").map((c) => c.text);
export function expect(condition, message) {
    if (!condition) throw new Error(message);
}

export function scenario(client) {
    const out = { ok: true, steps: [] };
    // Calibration and scrolling take tens of seconds; the client's default of 60 s is kept for the rest.
    const call = (name, args = {}, timeout = 60000) =>
        client.callTool({ name, arguments: args }, undefined, { timeout });
    const phone = async () => JSON.parse(texts(await call("debug_simulator"))[0]);
    const until = async (check, ms = 8000) => {
        const end = Date.now() + ms;
        for (;;) {
            const state = await phone();
            if (check(state) || Date.now() > end) return state;
            await sleep(200);
        }
    };
    async function step(name, body) {
        const started = Date.now();
        try {
            const detail = await body();
            out.steps.push({ step: name, ok: true, ms: Date.now() - started, detail });
        } catch (error) {
            out.ok = false;
            out.steps.push({ step: name, ok: false, ms: Date.now() - started, detail: String(error?.message ?? error) });
        }
    }
    return { out, call, phone, until, step };
}
