// Validates CycloneDX 1.5 JSON documents with the CycloneDX project's own
// library and its JSON-schema validator (strict: no property the schema
// does not define). Prints "valid" or each schema error; exit status 0 only
// when every file is valid.
//     NODE_PATH=.../node_modules node validate_sbom.js FILE...
"use strict";
const fs = require("fs");
const { Validation } = require("@cyclonedx/cyclonedx-library");

async function main(files) {
    const validator = new Validation.JsonStrictValidator("1.5");
    let failed = files.length === 0;
    for (const file of files) {
        const errors = await validator.validate(fs.readFileSync(file, "utf8"));
        if (errors === null) {
            console.log(`${file}: valid`);
        } else {
            failed = true;
            console.log(`${file}: ${JSON.stringify(errors)}`);
        }
    }
    return failed ? 1 : 0;
}

main(process.argv.slice(2)).then((status) => { process.exitCode = status; },
    (error) => { console.log(`validate_sbom: ${error.message}`); process.exitCode = 2; });
