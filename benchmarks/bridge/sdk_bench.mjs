// Start-up, tools/list round trip and peak memory of an MCP server over
// stdio, measured with the official MCP TypeScript SDK client so that the
// figures compare with other servers measured the same way.
//
//   node sdk_bench.mjs <label> <starts> <calls> <command> [args...]
//
// Prints one JSON line: medians and percentiles in microseconds, peak RSS
// (VmHWM) in kilobytes.
import { readFileSync } from "node:fs";
import { join, dirname } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const sdk = join(here, "..", "..", "tests", "bridge", "interop", "node_modules",
                 "@modelcontextprotocol", "sdk", "dist", "esm", "client");
const { Client } = await import(pathToFileURL(join(sdk, "index.js")));
const { StdioClientTransport } = await import(pathToFileURL(join(sdk, "stdio.js")));

const [label, startsText, callsText, command, ...args] = process.argv.slice(2);
const starts = Number(startsText);
const calls = Number(callsText);
const env = { PATH: process.env.PATH, HOME: process.env.BENCH_HOME ?? process.env.HOME };

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}
function summary(samples) {
  const sorted = [...samples].sort((a, b) => a - b);
  return { median: percentile(sorted, 0.5), p90: percentile(sorted, 0.9), min: sorted[0] };
}
function peakRssKb(pid) {
  const status = readFileSync(`/proc/${pid}/status`, "utf8");
  return Number(/VmHWM:\s+(\d+)/.exec(status)[1]);
}
const micros = (start) => Number(process.hrtime.bigint() - start) / 1000;

async function session() {
  const transport = new StdioClientTransport({ command, args, env, stderr: "ignore" });
  const client = new Client({ name: "bench", version: "1" });
  const begun = process.hrtime.bigint();
  await client.connect(transport);
  return { client, transport, startup: micros(begun) };
}

const startup = [];
for (let i = 0; i < starts; i++) {
  const { client, startup: t } = await session();
  startup.push(t);
  await client.close();
}

const { client, transport } = await session();
for (let i = 0; i < 200; i++) await client.listTools();  // warm both sides
const roundTrip = [];
for (let i = 0; i < calls; i++) {
  const begun = process.hrtime.bigint();
  await client.listTools();
  roundTrip.push(micros(begun));
}
const rss = peakRssKb(transport.pid);
await client.close();

console.log(JSON.stringify({
  label,
  startup_us: summary(startup),
  tools_list_us: summary(roundTrip),
  peak_rss_kb: rss,
}));
