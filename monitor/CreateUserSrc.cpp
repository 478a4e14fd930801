#include "monitor/CreateUserSrc.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "monitor/AccountRequest.h"
#include "platform/GuiApplication.h"

namespace tov {

TCreateUser* CreateUser = nullptr;

TCreateUser::TCreateUser() {
  setObjectName(QStringLiteral("CreateUser"));
  setWindowTitle(QStringLiteral("Create User"));
  resize(268, 207);
  CreateUser = this;

  auto* column = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  username = new QLineEdit(this);
  username->setObjectName(QStringLiteral("username"));
  email = new QLineEdit(this);
  email->setObjectName(QStringLiteral("email"));
  password = new QLineEdit(this);
  password->setObjectName(QStringLiteral("password"));
  password->setEchoMode(QLineEdit::Password);
  password->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // "*"
  form->addRow(QStringLiteral("User name:"), username);
  form->addRow(QStringLiteral("E-mail:"), email);
  form->addRow(QStringLiteral("Password"), password);
  column->addLayout(form);
  column->addStretch(1);

  auto* buttons = new QHBoxLayout;
  Create = new QPushButton(QStringLiteral("Create"), this);
  Create->setObjectName(QStringLiteral("Create"));
  Cancel = new QPushButton(QStringLiteral("Cancel"), this);
  Cancel->setObjectName(QStringLiteral("Cancel"));
  buttons->addStretch(1);
  buttons->addWidget(Create);
  buttons->addWidget(Cancel);
  column->addLayout(buttons);
  connect(Create, &QPushButton::clicked, this, [this] { CreateClick(); });
  connect(Cancel, &QPushButton::clicked, this, [this] { CancelClick(); });
}

TCreateUser::~TCreateUser() {
  if (CreateUser == this) CreateUser = nullptr;
}

void TCreateUser::CreateClick() {
  SendAccountRequest(AddUserQuery(QStringToAnsi(username->text()), QStringToAnsi(email->text()),
                                  QStringToAnsi(password->text())));
  accept();
}

void TCreateUser::CancelClick() { reject(); }

}  // namespace tov
