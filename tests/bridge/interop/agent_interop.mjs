// A real agent: the official MCP TypeScript SDK client drives vorn-mcp over
// stdio while no browser runs. Exit status 0 on success, 1 on a failure,
// 77 (skipped) when the SDK is not installed here.
import { existsSync, mkdtempSync, rmSync, mkdirSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";
import assert from "node:assert/strict";

const here = dirname(fileURLToPath(import.meta.url));
if (!existsSync(join(here, "node_modules"))) {
  console.log(`skipped: no node_modules in ${here} (run npm ci there)`);
  process.exit(77);
}
const { Client } = await import("@modelcontextprotocol/sdk/client/index.js");
const { StdioClientTransport } = await import("@modelcontextprotocol/sdk/client/stdio.js");

const buildDir = process.env.VORN_BUILD_DIR;
assert.ok(buildDir, "VORN_BUILD_DIR must name the build tree");
const binary = join(buildDir, "bridge", "vorn-mcp");

// A private home and profile: the test never touches a real profile, and
// with no `vorn` beside the binary no browser can start.
const tmp = mkdtempSync(join(tmpdir(), "vorn-mcp-interop-"));
const profile = join(tmp, "profile");

const env = { PATH: process.env.PATH ?? "/usr/bin:/bin", HOME: tmp };
for (const key of ["ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"]) {
  if (process.env[key] !== undefined) env[key] = process.env[key];
}

const transport = new StdioClientTransport({
  command: binary,
  args: ["--profile", profile],
  env,
  cwd: tmp,
  stderr: "pipe",
});
let stderr = "";
transport.stderr?.on("data", (chunk) => (stderr += chunk));

const client = new Client({ name: "vorn-interop", version: "1.0.0" });
let failed = false;
try {
  mkdirSync(profile);
  await client.connect(transport);
  const child = transport._process;
  assert.deepEqual(client.getServerVersion(), { name: "vorn", version: "0.1.0-rc.8" });
  assert.deepEqual(client.getServerCapabilities(), { tools: { listChanged: true } });
  assert.equal(client.getInstructions().length, 6288);

  const listed = await client.listTools();
  assert.deepEqual(listed.tools, []);

  const called = await client.callTool({ name: "open_tab", arguments: { url: "https://example.com" } });
  assert.equal(called.isError, true);
  assert.equal(called.content.length, 1);
  assert.equal(called.content[0].type, "text");
  const body = JSON.parse(called.content[0].text);
  assert.equal(body.error, "vorn_not_running");
  assert.ok(body.message.startsWith("vorn_not_running: Vorn is not running"), body.message);

  assert.deepEqual(await client.ping(), {});

  const exited = new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve();
    else child.once("exit", resolve);
  });
  await client.close();
  await exited;
  // Closing stdin must end the bridge by itself, not by the SDK's SIGTERM.
  assert.equal(child.signalCode, null, `vorn-mcp was killed by ${child.signalCode}`);
  assert.equal(child.exitCode, 0);
  console.log("ok: connect, listTools, callTool, ping and a clean exit");
} catch (error) {
  failed = true;
  console.error("FAILED:", error);
  console.error("vorn-mcp stderr:\n" + stderr);
} finally {
  await client.close().catch(() => {});
  rmSync(tmp, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
