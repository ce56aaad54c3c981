// Reads CycloneDX 1.5 JSON documents as three consumers do: the CycloneDX
// project's own library and its strict JSON-schema validator (no property
// the schema does not define), Ajv against the CycloneDX 1.5 JSON schema
// (with the SPDX and JSF schemas it refers to, as the library ships them),
// and packageurl-js, which must give back every purl unchanged when it
// parses and serialises it. Prints "FILE: valid", or FILE: followed by what
// each consumer that objects says; exit status 0 only when every file is
// valid to all three.
//     NODE_PATH=.../node_modules node validate_sbom.js FILE...
"use strict";
const fs = require("fs");
const path = require("path");
const { Validation } = require("@cyclonedx/cyclonedx-library");
const Ajv = require("ajv");
const addFormats = require("ajv-formats");
const addFormats2019 = require("ajv-formats-draft2019");
const { PackageURL } = require("packageurl-js");

function schemaValidator() {
    const folder = path.join(path.dirname(require.resolve("@cyclonedx/cyclonedx-library/package.json")),
        "res", "schema");
    const read = (name) => JSON.parse(fs.readFileSync(path.join(folder, name), "utf8"));
    const ajv = new Ajv({ strict: false, allErrors: true, validateFormats: true });
    addFormats(ajv);
    addFormats2019(ajv);
    // By the address the bom schema's references resolve to.
    for (const name of ["spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json"]) {
        const sub = read(name);
        delete sub.$id;
        ajv.addSchema(sub, `http://cyclonedx.org/schema/${name}`);
    }
    return ajv.compile(read("bom-1.5.SNAPSHOT.schema.json"));
}

// Every "purl" value anywhere in the document.
function purls(value, found = []) {
    if (Array.isArray(value)) {
        value.forEach((item) => purls(item, found));
    } else if (value && typeof value === "object") {
        for (const [key, item] of Object.entries(value)) {
            if (key === "purl" && typeof item === "string") {
                found.push(item);
            } else {
                purls(item, found);
            }
        }
    }
    return found;
}

function purlProblems(bom) {
    const problems = [];
    for (const purl of new Set(purls(bom))) {
        try {
            const again = PackageURL.fromString(purl).toString();
            if (again !== purl) {
                problems.push(`${purl} comes back as ${again}`);
            }
        } catch (error) {
            problems.push(`${purl} does not parse: ${error.message}`);
        }
    }
    return problems;
}

async function main(files) {
    const strict = new Validation.JsonStrictValidator("1.5");
    const schema = schemaValidator();
    let failed = files.length === 0;
    for (const file of files) {
        const text = fs.readFileSync(file, "utf8");
        const said = [];
        const errors = await strict.validate(text);
        if (errors !== null) {
            said.push(`cyclonedx-library: ${JSON.stringify(errors)}`);
        }
        const bom = JSON.parse(text);
        if (!schema(bom)) {
            said.push(`ajv: ${JSON.stringify(schema.errors)}`);
        }
        const purlSaid = purlProblems(bom);
        if (purlSaid.length) {
            said.push(`packageurl-js: ${purlSaid.join("; ")}`);
        }
        failed = failed || said.length > 0;
        console.log(`${file}: ${said.length ? said.join(" | ") : "valid"}`);
    }
    return failed ? 1 : 0;
}

main(process.argv.slice(2)).then((status) => { process.exitCode = status; },
    (error) => { console.log(`validate_sbom: ${error.message}`); process.exitCode = 2; });
