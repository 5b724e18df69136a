// A real agent against a fake browser: the official MCP TypeScript SDK
// client lists the browser's tools through vorn-mcp, calls one, and sees the
// browser's tools-changed notification arrive. The browser side is run by
// e2e/test_interop.py, which names the profile in VORN_INTEROP_PROFILE.
// Exit status 0 on success, 1 on a failure, 77 when the SDK is missing.
import { dirname } from "node:path";
import { join } from "node:path";
import { fileURLToPath } from "node:url";
import assert from "node:assert/strict";

const here = dirname(fileURLToPath(import.meta.url));
let Client, StdioClientTransport, ToolListChangedNotificationSchema;
try {
  ({ Client } = await import("@modelcontextprotocol/sdk/client/index.js"));
  ({ StdioClientTransport } = await import("@modelcontextprotocol/sdk/client/stdio.js"));
  ({ ToolListChangedNotificationSchema } = await import("@modelcontextprotocol/sdk/types.js"));
} catch (error) {
  console.log(`skipped: the MCP SDK is not installed in ${here} (run npm ci there): ${error.message}`);
  process.exit(77);
}

const binary = join(process.env.VORN_BUILD_DIR, "bridge", "vorn-mcp");
const profile = process.env.VORN_INTEROP_PROFILE;
assert.ok(profile, "VORN_INTEROP_PROFILE must name the fake browser's profile");

const transport = new StdioClientTransport({
  command: binary,
  args: ["--profile", profile],
  env: process.env,
  stderr: "pipe",
});
let stderr = "";
transport.stderr?.on("data", (chunk) => (stderr += chunk));

const client = new Client({ name: "vorn-interop", version: "1.0.0" });
let changed;
const toolsChanged = new Promise((resolve) => (changed = resolve));
client.setNotificationHandler(ToolListChangedNotificationSchema, () => changed());

let failed = false;
try {
  await client.connect(transport);
  const listed = await client.listTools();
  assert.deepEqual(listed.tools.map((tool) => tool.name), ["echo"]);

  const called = await client.callTool({ name: "echo", arguments: { text: "through the bridge" } });
  assert.notEqual(called.isError, true);
  assert.deepEqual(called.content, [{ type: "text", text: "through the bridge" }]);

  // The fake browser announces a change after answering this call.
  await client.callTool({ name: "echo", arguments: { text: "announce" } });
  let timer;
  await Promise.race([
    toolsChanged,
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error("no tools/list_changed arrived")), 10000);
    }),
  ]);
  clearTimeout(timer);
  console.log("ok: listTools, callTool and tools/list_changed through vorn-mcp");
} catch (error) {
  failed = true;
  console.error("FAILED:", error);
  console.error("vorn-mcp stderr:\n" + stderr);
} finally {
  await client.close().catch(() => {});
}
process.exit(failed ? 1 : 0);
