// Sends ADT and other messages with @medplum/hl7's sendAndWait and prints each answer's MSA-1 and MSA-2.
const { Hl7Client } = require('@medplum/hl7');
const { Hl7Message } = require('@medplum/core');
const port = Number(process.argv[2]);
(async () => {
  const client = new Hl7Client({ host: '127.0.0.1', port });
  for (const [i, type] of [[1, 'ADT^A01'], [2, 'ORU^R01'], [3, 'ADT^A08'], [4, 'ORM^O01']]) {
    const msg = Hl7Message.parse(`MSH|^~\\&|SEND|FAC|RECV|FAC|20261209120000||${type}|CTRL${i}|P|2.5\rPID|1||123^^^MRN||Muller^Zoe`);
    try {
      const ack = await client.sendAndWait(msg, { timeoutMs: 3000 });
      const msa = ack.getSegment('MSA');
      console.log(`${type} CTRL${i} -> ${msa.getField(1).toString()} ${msa.getField(2).toString()}`);
    } catch (e) { console.log(`${type} CTRL${i} -> ${e.message}`); }
  }
  await client.close();
})();
