// Shows why the last sign-in failed; the server says it in the query string
// (/signin?failed or /signin?limited) and only these fixed texts are shown.
'use strict';
(function () {
  const messages = {
    failed: 'Wrong login or password.',
    limited: 'Too many failed sign-ins. Wait a minute and try again.',
  };
  const reason = window.location.search.replace(/^\?/, '');
  const message = document.getElementById('message');
  if (Object.prototype.hasOwnProperty.call(messages, reason)) {
    message.textContent = messages[reason];
    message.hidden = false;
  }
})();
